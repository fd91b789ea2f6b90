#pragma once
// Quake 2 .dm2 demos, protocol 34: the framing of the file, every server command the client
// accepts, the game state (server data, configstrings, baselines) and the last frames, so that
// a new demo can be started from the newest frame read.

#include "democodec.h"
#include "q2fields.h"

#include <array>
#include <optional>
#include <vector>

namespace arbelon::demo {

class Q2Codec : public DemoCodec {
public:
    // A frame as the client keeps it (client/client.h, frame_t).
    struct FrameState {
        bool valid = false;
        qint32 serverFrame = 0;
        quint8 suppressCount = 0;
        QByteArray areaBits;
        q2::PlayerState player;
        q2::EntityList entities;
    };

    Game game() const override { return Game::Quake2; }
    int protocol() const override { return m_protocol; }
    Frame nextFrame(QByteArrayView bytes) const override;
    MessageInfo parse(const Frame &frame) override;
    bool canRebuild() const override;
    QByteArray rebuild() override;
    QByteArray liveForm(const Frame &frame) override;
    QByteArray endMarker() const override;
    std::unique_ptr<DemoCodec> clone() const override { return std::make_unique<Q2Codec>(*this); }

    // What has been read, for tools and tests.
    const FrameState *heldFrame(qint32 serverFrame) const;
    std::optional<qint32> newestFrame() const { return m_newest; }
    QByteArray configString(int index) const;
    const q2::EntityState &baseline(int number) const { return m_baselines.at(std::size_t(number)); }
    // The client number the server gave the recording player; -1 before the server data.
    int playerNum() const { return m_serverData ? m_serverData->playerNum : -1; }

    // What the server told of the game in the message parse() read last, in the order it came:
    // each configstring set (its index; the value is configString's), each print (its level
    // and text) and each layout (its text, as kept).
    struct ServerText {
        quint8 command = 0; // q2::SvcConfigString, SvcPrint or SvcLayout
        int value = 0;      // the configstring's index, the print's level
        QByteArray text;
    };
    const std::vector<ServerText> &newTexts() const { return m_newTexts; }

    // A framed message may be longer than the engine reads (kMaxMsgLen) but not beyond this.
    static constexpr qsizetype kMaxFramedMessage = 65536;

private:
    struct ServerData {
        qint32 serverCount = 0;
        quint8 attractLoop = 0;
        QByteArray gameDir;
        qint16 playerNum = 0;
        QByteArray levelName;
    };
    // A part of the last message parsed as the live copy has it.
    struct Span {
        qsizetype from = 0;
        qsizetype to = 0;
        bool isFrame = false;
        QByteArray replacement; // empty: the original bytes
    };

    void parseServerData(q2::Reader &in, MessageInfo &info);
    void parseFrame(q2::Reader &in, qsizetype start, MessageInfo &info);
    void setConfigString(int index, QByteArrayView value);
    void writeFrame(q2::Writer &out, const FrameState &frame, const FrameState *from) const;
    void resetGameState();

    int m_protocol = 0;
    std::optional<ServerData> m_serverData;
    QByteArray m_configStrings; // MAX_CONFIGSTRINGS slots of MAX_QPATH bytes, as the client lays them out
    std::array<q2::EntityState, q2::kMaxEdicts> m_baselines{};
    std::array<FrameState, q2::kUpdateBackup> m_frames{};
    std::optional<qint32> m_newest;
    std::optional<QByteArray> m_layout;
    std::optional<std::array<qint16, q2::kMaxItems>> m_inventory;
    std::vector<ServerText> m_newTexts;

    // The live copy made by rebuild(): the frames its player holds, and the plan for the last
    // message parsed.
    bool m_live = false;
    std::array<std::optional<qint32>, q2::kUpdateBackup> m_copyHolds{};
    std::optional<qint32> m_copyNewest;
    bool m_planValid = false;
    qsizetype m_planSize = 0;
    std::vector<Span> m_plan;
};

} // namespace arbelon::demo
