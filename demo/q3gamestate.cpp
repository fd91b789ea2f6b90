#include "q3gamestate.h"

#include "democodec.h"
#include "q3message.h"

#include <QList>

namespace arbelon::demo {

namespace {

constexpr int kConfigString = 3;
constexpr int kBaseline = 4;
constexpr int kEnd = 8;

} // namespace

QList<QByteArray> Q3GameState::words(const QByteArray &text)
{
    QList<QByteArray> out;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n) {
        while (i < n && quint8(text[i]) <= ' ')
            ++i;
        if (i >= n || (text[i] == '/' && i + 1 < n && text[i + 1] == '/'))
            break;
        QByteArray w;
        if (text[i] == '"') {
            ++i;
            while (i < n && text[i] != '"')
                w.append(text[i++]);
            ++i;
        } else {
            while (i < n && quint8(text[i]) > ' ' && text[i] != '"'
                   && !(text[i] == '/' && i + 1 < n && (text[i + 1] == '/' || text[i + 1] == '*')))
                w.append(text[i++]);
        }
        out.append(w);
    }
    return out;
}

namespace {

int configIndex(const QByteArray &word)
{
    bool ok = false;
    const int index = word.toInt(&ok);
    if (!ok || index < 0 || index >= Q3GameState::kMaxConfigStrings)
        throw DemoError("a configstring number is out of range");
    return index;
}

} // namespace

void Q3GameState::read(Q3MessageReader &in)
{
    m_strings.fill(QByteArray());
    m_baselines.fill(q3::Entity{});
    m_hasBaseline.reset();
    m_bigString.clear();
    m_commandSequence = in.readLong();
    int chars = 1;
    for (;;) {
        const int cmd = in.readByte();
        if (cmd == kEnd)
            break;
        if (cmd == kConfigString) {
            const int index = in.readShort();
            if (index < 0 || index >= kMaxConfigStrings)
                throw DemoError("a configstring number is out of range");
            const QByteArray s = in.readString(kBigString);
            chars += int(s.size()) + 1;
            if (chars > kMaxChars)
                throw DemoError("the configstrings are longer than a game state holds");
            m_strings[std::size_t(index)] = s;
        } else if (cmd == kBaseline) {
            const int number = in.readBits(q3::kEntityNumberBits);
            static const q3::Entity none;
            m_baselines[std::size_t(number)] = q3::readEntity(in, none, number);
            m_hasBaseline.set(std::size_t(number));
        } else {
            throw DemoError("a game state holds an unknown command");
        }
    }
    m_clientNum = in.readLong();
    m_checksumFeed = in.readLong();
    m_valid = true;
}

void Q3GameState::write(Q3MessageWriter &out) const
{
    out.writeLong(m_commandSequence);
    for (int i = 0; i < kMaxConfigStrings; ++i) {
        const QByteArray &s = m_strings[std::size_t(i)];
        if (s.isEmpty())
            continue;
        out.writeByte(kConfigString);
        out.writeShort(i);
        out.writeString(s);
    }
    static const q3::Entity none;
    for (int i = 0; i < q3::kMaxEntities; ++i) {
        if (!m_hasBaseline.test(std::size_t(i)))
            continue;
        out.writeByte(kBaseline);
        q3::writeEntity(out, &none, &m_baselines[std::size_t(i)], true);
    }
    out.writeByte(kEnd);
    out.writeLong(m_clientNum);
    out.writeLong(m_checksumFeed);
}

void Q3GameState::serverCommand(qint32 sequence, const QByteArray &text)
{
    if (sequence <= m_commandSequence)
        return;
    m_commandSequence = sequence;
    const QList<QByteArray> w = words(text);
    if (w.isEmpty())
        return;
    const QByteArray &cmd = w.first();
    const QByteArray arg1 = w.value(1);
    const QByteArray arg2 = w.value(2);
    if (cmd == "cs") {
        QList<QByteArray> rest = w.mid(2);
        setConfigString(configIndex(arg1), rest.join(' '));
    } else if (cmd == "bcs0") {
        m_bigString = "cs " + arg1 + " \"" + arg2;
    } else if (cmd == "bcs1" || cmd == "bcs2") {
        if (m_bigString.size() + arg2.size() + 1 >= kBigString)
            throw DemoError("a long configstring is longer than its format allows");
        m_bigString += arg2;
        if (cmd == "bcs2") {
            const QList<QByteArray> whole = words(m_bigString + '"');
            m_bigString.clear();
            if (whole.size() >= 2)
                setConfigString(configIndex(whole.value(1)), whole.mid(2).join(' '));
        }
    }
}

void Q3GameState::setConfigString(int index, const QByteArray &value)
{
    int chars = 1;
    for (int i = 0; i < kMaxConfigStrings; ++i) {
        const QByteArray &s = i == index ? value : m_strings[std::size_t(i)];
        chars += s.isEmpty() ? 0 : int(s.size()) + 1;
    }
    if (chars > kMaxChars)
        throw DemoError("the configstrings are longer than a game state holds");
    m_strings[std::size_t(index)] = value;
}

QByteArray Q3GameState::serverInfo(const QByteArray &key) const
{
    // "\key\value\key\value..."
    const QList<QByteArray> parts = m_strings[0].split('\\');
    for (qsizetype i = 1; i + 1 < parts.size(); i += 2) {
        if (parts[i] == key)
            return parts[i + 1];
    }
    return {};
}

} // namespace arbelon::demo
