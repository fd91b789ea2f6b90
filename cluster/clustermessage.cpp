#include "clustermessage.h"

#include "records.h"

#include <QtEndian>

namespace arbelon::clustermsg {

namespace {

constexpr char kMagic0 = 'A', kMagic1 = 'C';

class Writer {
public:
    void u8(quint8 v) { m_out.append(char(v)); }
    void u16(quint16 v) { put(qToLittleEndian(v)); }
    void u32(quint32 v) { put(qToLittleEndian(v)); }
    void u64(quint64 v) { put(qToLittleEndian(v)); }
    void text(const QByteArray &v) // callers keep texts within their bounds; u8 length
    {
        u8(quint8(qMin<qsizetype>(v.size(), 255)));
        m_out.append(v.left(255));
    }
    void blob(const QByteArray &v)
    {
        u32(quint32(v.size()));
        m_out.append(v);
    }
    void raw(const QByteArray &v) { m_out.append(v); }
    QByteArray take() { return std::move(m_out); }

private:
    template <typename T> void put(T v) { m_out.append(reinterpret_cast<const char *>(&v), sizeof v); }
    QByteArray m_out;
};

// Reads fields front to back; the first failure sticks, with its reason.
class Reader {
public:
    explicit Reader(QByteArrayView in) : m_in(in) {}
    bool ok() const { return m_error.isEmpty(); }
    const QString &error() const { return m_error; }
    void fail(const QString &why)
    {
        if (m_error.isEmpty())
            m_error = why;
    }
    quint8 u8(const char *what) { return take<quint8>(what); }
    quint16 u16(const char *what) { return take<quint16>(what); }
    quint32 u32(const char *what) { return take<quint32>(what); }
    quint64 u64(const char *what) { return take<quint64>(what); }
    QByteArray text(const char *what, int maxLength, bool mayBeEmpty)
    {
        const int n = u8(what);
        if (!ok())
            return {};
        if (n > maxLength || (n == 0 && !mayBeEmpty)) {
            fail(QStringLiteral("%1: length %2 outside %3..%4").arg(QLatin1String(what)).arg(n).arg(mayBeEmpty ? 0 : 1).arg(maxLength));
            return {};
        }
        const QByteArrayView v = bytes(what, n);
        if (v.contains('\0')) {
            fail(QStringLiteral("%1: holds a NUL").arg(QLatin1String(what)));
            return {};
        }
        return v.toByteArray();
    }
    QByteArrayView bytes(const char *what, qsizetype n)
    {
        if (!ok())
            return {};
        if (n > m_in.size() - m_pos) {
            fail(QStringLiteral("%1: %2 bytes announced, %3 left").arg(QLatin1String(what)).arg(n).arg(m_in.size() - m_pos));
            return {};
        }
        const QByteArrayView v = m_in.sliced(m_pos, n);
        m_pos += n;
        return v;
    }
    bool atEnd() const { return m_pos == m_in.size(); }
    void finish()
    {
        if (ok() && m_pos != m_in.size())
            fail(QStringLiteral("%1 bytes after the last field").arg(m_in.size() - m_pos));
    }

private:
    template <typename T> T take(const char *what)
    {
        const QByteArrayView v = bytes(what, sizeof(T));
        return ok() ? qFromLittleEndian<T>(v.data()) : T(0);
    }
    QByteArrayView m_in;
    qsizetype m_pos = 0;
    QString m_error;
};

void writeGame(Writer &w, const ClusterGameInfo &g)
{
    w.u32(g.id);
    w.u32(quint32(g.gameType));
    w.u32(g.users);
    w.text(g.name);
    w.text(g.mod);
    w.text(g.filmer);
    w.u64(g.demoStartSeq);
}

ClusterGameInfo readGame(Reader &r)
{
    ClusterGameInfo g;
    g.id = r.u32("game id");
    g.gameType = qint32(r.u32("game type"));
    g.users = r.u32("users");
    g.name = r.text("game name", kMaxGameName, false);
    g.mod = r.text("mod", kMaxModName, true);
    g.filmer = r.text("filmer", kMaxUserName, true); // empty once the Filmer has gone
    g.demoStartSeq = r.u64("demo start");
    if (r.ok() && g.id == 0)
        r.fail(QStringLiteral("game id 0"));
    if (r.ok() && g.gameType != gtQuake2 && g.gameType != gtQuake3)
        r.fail(QStringLiteral("game type %1 unknown").arg(g.gameType));
    return g;
}

quint32 readGameId(Reader &r)
{
    const quint32 id = r.u32("game id");
    if (r.ok() && id == 0)
        r.fail(QStringLiteral("game id 0"));
    return id;
}

// A demo record as the relay takes it from a Filmer: whole, its size field telling the truth.
void checkRecord(Reader &r, QByteArrayView record)
{
    if (!r.ok())
        return;
    if (record.size() < rec::kHeaderSize) {
        r.fail(QStringLiteral("demo record of %1 bytes is shorter than a header").arg(record.size()));
        return;
    }
    const qint32 type = packetType(record);
    const quint32 size = packetSize(record);
    if (size != quint32(record.size())) {
        r.fail(QStringLiteral("demo record says %1 bytes, carries %2").arg(size).arg(record.size()));
        return;
    }
    if (type == DEMORESTART) {
        if (size != quint32(rec::kDemoRestartSize))
            r.fail(QStringLiteral("DEMORESTART of %1 bytes").arg(size));
    } else if (type == DEMOPACKET) {
        if (size <= quint32(rec::kDemoPacketHeaderSize) || size > rec::kMaxDemoPacketSize)
            r.fail(QStringLiteral("DEMOPACKET size %1 outside %2..%3").arg(size).arg(rec::kDemoPacketHeaderSize + 1).arg(rec::kMaxDemoPacketSize));
    } else {
        r.fail(QStringLiteral("record type %1 is not a demo record").arg(type));
    }
}

} // namespace

bool validNodeName(QByteArrayView name)
{
    if (name.isEmpty() || name.size() > kMaxNodeName)
        return false;
    for (const char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-'))
            return false;
    }
    return true;
}

QString typeName(quint8 type)
{
    switch (type) {
    case ClusterMessage::Heartbeat: return QStringLiteral("heartbeat");
    case ClusterMessage::GameAnnounce: return QStringLiteral("game announce");
    case ClusterMessage::GameRemove: return QStringLiteral("game remove");
    case ClusterMessage::LobbyState: return QStringLiteral("lobby state");
    case ClusterMessage::ChatRequest: return QStringLiteral("chat request");
    case ClusterMessage::ChatLine: return QStringLiteral("chat line");
    case ClusterMessage::DemoBlock: return QStringLiteral("demo block");
    case ClusterMessage::GameFacts: return QStringLiteral("game facts");
    }
    return QStringLiteral("type %1").arg(type);
}

QByteArray encode(const ClusterMessage &m)
{
    Writer w;
    w.u8(quint8(kMagic0));
    w.u8(quint8(kMagic1));
    w.u8(kVersion);
    w.u8(m.type);
    w.text(m.node);
    switch (m.type) {
    case ClusterMessage::Heartbeat:
        w.u16(m.slot);
        w.u64(m.epoch);
        w.u16(quint16(m.games.size()));
        for (const ClusterGameInfo &g : m.games)
            writeGame(w, g);
        break;
    case ClusterMessage::GameAnnounce:
        writeGame(w, m.games.value(0));
        break;
    case ClusterMessage::GameRemove:
        w.u32(m.gameId);
        w.u64(m.seq);
        break;
    case ClusterMessage::LobbyState:
        w.u32(m.gameId);
        w.u32(m.users);
        w.u16(quint16(m.names.size()));
        for (const QByteArray &name : m.names)
            w.text(name);
        break;
    case ClusterMessage::ChatRequest:
    case ClusterMessage::ChatLine:
        w.u32(m.gameId);
        if (m.type == ClusterMessage::ChatLine)
            w.u64(m.seq);
        w.text(m.user);
        w.u16(quint16(m.text.size()));
        w.u8(0); // flags, none defined yet
        w.raw(m.text);
        break;
    case ClusterMessage::DemoBlock:
        w.u32(m.gameId);
        w.u64(m.seq);
        w.blob(m.record);
        break;
    case ClusterMessage::GameFacts:
        w.u32(m.gameId);
        w.blob(m.record);
        break;
    }
    return w.take();
}

std::optional<ClusterMessage> parse(QByteArrayView bytes, QString *error)
{
    Reader r(bytes);
    ClusterMessage m;
    if (bytes.size() > kMaxMessage)
        r.fail(QStringLiteral("%1 bytes, more than %2").arg(bytes.size()).arg(kMaxMessage));
    const quint8 magic0 = r.u8("magic"), magic1 = r.u8("magic");
    if (r.ok() && (magic0 != quint8(kMagic0) || magic1 != quint8(kMagic1)))
        r.fail(QStringLiteral("not a cluster message (magic %1 %2)").arg(magic0).arg(magic1));
    const quint8 version = r.u8("version");
    if (r.ok() && version != kVersion)
        r.fail(QStringLiteral("version %1, this node reads %2").arg(version).arg(kVersion));
    const quint8 type = r.u8("type");
    m.type = ClusterMessage::Type(type);
    m.node = r.text("node name", kMaxNodeName, false);
    if (r.ok() && !validNodeName(m.node))
        r.fail(QStringLiteral("node name holds a character other than A-Z a-z 0-9 _ -"));
    if (r.ok()) {
        switch (type) {
        case ClusterMessage::Heartbeat: {
            m.slot = r.u16("slot");
            m.epoch = r.u64("epoch");
            const int n = r.u16("game count");
            if (r.ok() && (m.slot == 0 || m.slot > kMaxSlot))
                r.fail(QStringLiteral("slot %1 outside 1..%2").arg(m.slot).arg(kMaxSlot));
            if (r.ok() && n > kMaxGames)
                r.fail(QStringLiteral("%1 games, more than %2").arg(n).arg(kMaxGames));
            for (int i = 0; i < n && r.ok(); ++i)
                m.games.append(readGame(r));
            break;
        }
        case ClusterMessage::GameAnnounce:
            m.games.append(readGame(r));
            break;
        case ClusterMessage::GameRemove:
            m.gameId = readGameId(r);
            // Nodes of the first release send no last block.
            if (!r.atEnd())
                m.seq = r.u64("last block");
            break;
        case ClusterMessage::LobbyState: {
            m.gameId = readGameId(r);
            m.users = r.u32("users");
            const int n = r.u16("name count");
            if (r.ok() && (n > kMaxNames || quint32(n) > m.users))
                r.fail(QStringLiteral("%1 names for %2 users").arg(n).arg(m.users));
            for (int i = 0; i < n && r.ok(); ++i)
                m.names.append(r.text("user name", kMaxUserName, false));
            break;
        }
        case ClusterMessage::ChatRequest:
        case ClusterMessage::ChatLine: {
            m.gameId = readGameId(r);
            if (type == ClusterMessage::ChatLine)
                m.seq = r.u64("chat order");
            m.user = r.text("user name", kMaxUserName, false);
            const int n = r.u16("text length");
            if (r.ok() && r.u8("flags") != 0)
                r.fail(QStringLiteral("unknown chat flags"));
            if (r.ok() && n > kMaxChatText)
                r.fail(QStringLiteral("text length %1, more than %2").arg(n).arg(kMaxChatText));
            const QByteArrayView text = r.bytes("text", n);
            if (r.ok() && text.contains('\0'))
                r.fail(QStringLiteral("text holds a NUL"));
            m.text = text.toByteArray();
            break;
        }
        case ClusterMessage::DemoBlock: {
            m.gameId = readGameId(r);
            m.seq = r.u64("block sequence");
            if (r.ok() && m.seq == 0)
                r.fail(QStringLiteral("block sequence 0"));
            const quint32 n = r.u32("record length");
            const QByteArrayView record = r.bytes("record", n);
            checkRecord(r, record);
            m.record = record.toByteArray();
            break;
        }
        case ClusterMessage::GameFacts: {
            m.gameId = readGameId(r);
            const quint32 n = r.u32("facts length");
            if (r.ok() && n > quint32(kMaxFacts))
                r.fail(QStringLiteral("facts of %1 bytes, more than %2").arg(n).arg(kMaxFacts));
            m.record = r.bytes("facts", n).toByteArray();
            break;
        }
        default:
            r.fail(QStringLiteral("unknown type %1").arg(type));
        }
    }
    r.finish();
    if (!r.ok()) {
        if (error)
            *error = r.error();
        return std::nullopt;
    }
    return m;
}

} // namespace arbelon::clustermsg
