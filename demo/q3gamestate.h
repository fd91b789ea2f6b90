#pragma once
// What a Quake 3 demo says about the level: the configstrings and entity baselines of its game
// state, kept current by the server's "cs" commands (and "bcs0/1/2", a long configstring
// sent in parts), and the client and command numbers a game state carries.

#include "q3state.h"

#include <QByteArray>
#include <QList>

#include <array>
#include <bitset>

namespace arbelon::demo {

class Q3MessageReader;
class Q3MessageWriter;

class Q3GameState {
public:
    static constexpr int kMaxConfigStrings = 1024;
    static constexpr int kMaxChars = 16000; // all configstrings together, with their ends
    static constexpr int kBigString = 8192; // one configstring

    // Reads a game state message's body (after its command byte). Throws DemoError.
    void read(Q3MessageReader &in);
    // Writes it as a recording starts one: configstrings, baselines, client number, checksum.
    void write(Q3MessageWriter &out) const;

    // A server command, numbered: those not newer than the last are old news (the server
    // sends a command again until the client confirms it).
    void serverCommand(qint32 sequence, const QByteArray &text);

    // A command's words as the engines' console splits them: apart by blanks and controls, a
    // quoted text one word, "//" ending the line.
    static QList<QByteArray> words(const QByteArray &text);

    QByteArray configString(int index) const { return m_strings[std::size_t(index)]; }
    // A value of the server info string (configstring 0), e.g. "protocol" or "mapname".
    QByteArray serverInfo(const QByteArray &key) const;
    const q3::Entity &baseline(int number) const { return m_baselines[std::size_t(number)]; }
    qint32 commandSequence() const { return m_commandSequence; }
    bool valid() const { return m_valid; }

private:
    void setConfigString(int index, const QByteArray &value);

    std::array<QByteArray, kMaxConfigStrings> m_strings;
    std::array<q3::Entity, q3::kMaxEntities> m_baselines{};
    std::bitset<q3::kMaxEntities> m_hasBaseline;
    QByteArray m_bigString; // a long configstring while its parts arrive
    qint32 m_commandSequence = 0;
    qint32 m_clientNum = 0;
    qint32 m_checksumFeed = 0;
    bool m_valid = false;
};

} // namespace arbelon::demo
