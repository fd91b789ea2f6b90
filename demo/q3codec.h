#pragma once
// Quake 3 demos (.dm_66 to .dm_71, and the originals' .dm3): each message framed by its
// sequence number and length, Huffman-coded, holding server commands, game states and
// delta-coded snapshots.

#include "democodec.h"
#include "q3gamestate.h"
#include "q3state.h"

#include <QList>

#include <array>
#include <vector>

namespace arbelon::demo {

class Q3MessageReader;
class Q3MessageWriter;

class Q3Codec : public DemoCodec {
public:
    static constexpr int kMaxMessage = 16384; // what the engines read of one message
    static constexpr int kBackup = 32;        // snapshots a later one may be delta-coded from

    Game game() const override { return Game::Quake3; }
    int protocol() const override { return m_protocol; }
    Frame nextFrame(QByteArrayView bytes) const override;
    MessageInfo parse(const Frame &frame) override;
    bool canRebuild() const override;
    QByteArray rebuild() override;
    QByteArray liveForm(const Frame &frame) override;
    QByteArray endMarker() const override;
    std::unique_ptr<DemoCodec> clone() const override { return std::make_unique<Q3Codec>(*this); }

    const Q3GameState &gameState() const { return m_gameState; }
    // The server commands of the message parse() read last that the game had not had before
    // (the server repeats a command until the client confirms it).
    const QList<QByteArray> &newCommands() const { return m_newCommands; }

    struct Snapshot {
        bool valid = false;
        qint32 messageNum = 0;
        qint32 serverTime = 0;
        int snapFlags = 0;
        QByteArray areaMask;
        q3::Player player;
        std::vector<q3::Entity> entities; // by number, ascending
    };
    // The newest snapshot read; invalid before the first.
    const Snapshot &newestSnapshot() const;

private:
    void readSnapshot(Q3MessageReader &in, qint32 sequence);
    void readEntities(Q3MessageReader &in, const Snapshot *old, Snapshot &snap);
    void writeSnapshot(Q3MessageWriter &out, const Snapshot &snap, const Snapshot *from) const;
    static QByteArray framed(qint32 sequence, const QByteArray &message);

    Q3GameState m_gameState;
    std::array<Snapshot, kBackup> m_snapshots;
    int m_protocol = 0;
    qint32 m_reliableAck = 0;
    qint32 m_newest = -1; // message number of the newest snapshot

    // What the message parse() read last held, for its re-encoding.
    struct Command {
        qint32 sequence;
        QByteArray text;
    };
    QList<Command> m_commands;
    QList<QByteArray> m_newCommands;
    bool m_hadGameState = false;
    bool m_hadSnapshot = false;
    qint32 m_deltaSource = -1;

    // The live copy: its first snapshot, and the newest it holds.
    bool m_copying = false;
    qint32 m_copyStart = 0;
    qint32 m_copyNewest = -1;
};

} // namespace arbelon::demo
