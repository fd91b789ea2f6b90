#include "q3codec.h"

#include "q3message.h"

#include <QtEndian>

#include <algorithm>

namespace arbelon::demo {

namespace {

// Message commands (ioquake3 code/qcommon/qcommon.h, svc_ops_e).
enum Command {
    kNop = 1,
    kGameState = 2,
    kServerCommand = 5,
    kDownload = 6,
    kSnapshot = 7,
    kEnd = 8,
    kVoipSpeex = 9,
    kVoipOpus = 10,
};

constexpr int kMaxString = 1024;
constexpr int kMaxAreaMask = 32;
constexpr int kVoipFlagBits = 2;

bool supportedProtocol(int p)
{
    return p == 66 || p == 67 || p == 68 || p == 71;
}

void skipDownload(Q3MessageReader &in)
{
    const int block = in.readShort();
    if (block == 0 && in.readLong() < 0) {
        in.readString(kMaxString);
        return;
    }
    const int size = in.readShort();
    if (size < 0 || size > Q3Codec::kMaxMessage)
        throw DemoError("a download part has a bad size");
    in.readData(size);
}

void skipVoip(Q3MessageReader &in)
{
    const int sender = in.readShort();
    const int generation = in.readByte();
    const qint32 sequence = in.readLong();
    const int frames = in.readByte();
    const int size = in.readShort();
    in.readBits(kVoipFlagBits);
    // The engines stop reading a voice packet with a negative header value there.
    if (sender < 0 || generation < 0 || sequence < 0 || frames < 0 || size < 0)
        return;
    in.readData(size);
}

} // namespace

Frame Q3Codec::nextFrame(QByteArrayView bytes) const
{
    Frame f;
    if (bytes.size() < 8)
        return f;
    f.sequence = qFromLittleEndian<qint32>(bytes.data());
    const qint32 length = qFromLittleEndian<qint32>(bytes.data() + 4);
    if (length == -1) {
        f.kind = Frame::End;
        f.size = 8;
        return f;
    }
    if (length < 0 || length > kMaxMessage)
        throw DemoError("a message's length is out of bounds");
    if (bytes.size() < 8 + length)
        return f;
    f.kind = Frame::Message;
    f.size = 8 + length;
    f.payload = bytes.sliced(8, length);
    return f;
}

MessageInfo Q3Codec::parse(const Frame &frame)
{
    MessageInfo info;
    m_commands.clear();
    m_newCommands.clear();
    m_hadGameState = false;
    m_hadSnapshot = false;
    m_deltaSource = -1;
    Q3MessageReader in(frame.payload);
    m_reliableAck = in.readLong();
    for (;;) {
        const int cmd = in.readByte();
        if (cmd == kEnd)
            break;
        switch (cmd) {
        case kNop:
            break;
        case kServerCommand: {
            const qint32 sequence = in.readLong();
            const QByteArray text = in.readString(kMaxString);
            if (m_gameState.valid()) {
                if (sequence > m_gameState.commandSequence())
                    m_newCommands.append(text);
                m_gameState.serverCommand(sequence, text);
            }
            m_commands.append({sequence, text});
            break;
        }
        case kGameState: {
            m_gameState.read(in);
            for (Snapshot &s : m_snapshots)
                s.valid = false;
            m_newest = -1;
            QByteArray p = m_gameState.serverInfo("protocol");
            if (p.isEmpty())
                p = m_gameState.serverInfo("com_protocol");
            m_protocol = p.toInt();
            if (!supportedProtocol(m_protocol))
                throw DemoError(p.isEmpty() ? "the demo does not name its protocol"
                                            : "protocol " + p.toStdString() + " is not supported for live play");
            m_hadGameState = true;
            info.gameState = true;
            break;
        }
        case kSnapshot: {
            if (!m_gameState.valid())
                throw DemoError("a snapshot comes before the game state");
            if (m_hadSnapshot)
                throw DemoError("a message holds two snapshots");
            readSnapshot(in, frame.sequence);
            const Snapshot &s = newestSnapshot();
            m_hadSnapshot = true;
            info.snapshot = true;
            info.serverTimeMs = s.serverTime;
            const int pm = s.player.fields[q3::kPlayerPmType];
            info.intermission = pm == q3::kPmIntermission || pm == q3::kPmSpIntermission;
            break;
        }
        case kDownload:
            skipDownload(in);
            break;
        case kVoipSpeex:
        case kVoipOpus:
            skipVoip(in);
            break;
        default:
            throw DemoError("a message holds an unknown command");
        }
    }
    return info;
}

const Q3Codec::Snapshot &Q3Codec::newestSnapshot() const
{
    static const Snapshot none;
    if (m_newest < 0)
        return none;
    return m_snapshots[std::size_t(m_newest % kBackup)];
}

void Q3Codec::readSnapshot(Q3MessageReader &in, qint32 sequence)
{
    Snapshot snap;
    snap.messageNum = sequence;
    snap.serverTime = in.readLong();
    const int delta = in.readByte();
    snap.snapFlags = in.readByte();
    const Snapshot *old = nullptr;
    if (delta) {
        const qint32 source = sequence - delta;
        const Snapshot &s = m_snapshots[std::size_t(((source % kBackup) + kBackup) % kBackup)];
        if (source <= 0 || !s.valid || s.messageNum != source)
            throw DemoError("a snapshot is delta-coded from one the demo does not hold");
        old = &s;
        m_deltaSource = source;
    }
    const int maskLength = in.readByte();
    if (maskLength > kMaxAreaMask)
        throw DemoError("a snapshot's area mask is too long");
    snap.areaMask = in.readData(maskLength);
    static const q3::Player none;
    snap.player = q3::readPlayer(in, old ? old->player : none);
    readEntities(in, old, snap);
    snap.valid = true;
    if (sequence < 0)
        throw DemoError("a message number is negative");
    m_snapshots[std::size_t(sequence % kBackup)] = std::move(snap);
    m_newest = sequence;
}

void Q3Codec::readEntities(Q3MessageReader &in, const Snapshot *old, Snapshot &snap)
{
    const std::vector<q3::Entity> empty;
    const std::vector<q3::Entity> &from = old ? old->entities : empty;
    std::size_t at = 0;
    const auto keep = [&](int below) {
        while (at < from.size() && from[at].number < below)
            snap.entities.push_back(from[at++]);
    };
    int last = -1;
    for (;;) {
        const int number = in.readBits(q3::kEntityNumberBits);
        if (number == q3::kNoEntity)
            break;
        if (number <= last)
            throw DemoError("a snapshot's entities are out of order");
        last = number;
        keep(number);
        q3::Entity e;
        if (at < from.size() && from[at].number == number)
            e = q3::readEntity(in, from[at++], number);
        else
            e = q3::readEntity(in, m_gameState.baseline(number), number);
        if (e.number != q3::kNoEntity)
            snap.entities.push_back(e);
    }
    keep(q3::kMaxEntities);
}

bool Q3Codec::canRebuild() const
{
    return m_gameState.valid() && newestSnapshot().valid;
}

QByteArray Q3Codec::framed(qint32 sequence, const QByteArray &message)
{
    QByteArray out(8, '\0');
    qToLittleEndian<qint32>(sequence, out.data());
    qToLittleEndian<qint32>(qint32(message.size()), out.data() + 4);
    return out + message;
}

void Q3Codec::writeSnapshot(Q3MessageWriter &out, const Snapshot &snap, const Snapshot *from) const
{
    out.writeByte(kSnapshot);
    out.writeLong(snap.serverTime);
    out.writeByte(from ? snap.messageNum - from->messageNum : 0);
    out.writeByte(snap.snapFlags);
    out.writeByte(int(snap.areaMask.size()));
    out.writeData(snap.areaMask);
    static const q3::Player none;
    q3::writePlayer(out, from ? from->player : none, snap.player);
    // Both lists are by number: entities in both are delta-coded, new ones from their baseline,
    // and those gone are removed.
    const std::vector<q3::Entity> empty;
    const std::vector<q3::Entity> &old = from ? from->entities : empty;
    std::size_t i = 0, j = 0;
    while (i < snap.entities.size() || j < old.size()) {
        const int n = i < snap.entities.size() ? snap.entities[i].number : q3::kMaxEntities;
        const int o = j < old.size() ? old[j].number : q3::kMaxEntities;
        if (n == o) {
            q3::writeEntity(out, &old[j++], &snap.entities[i++], false);
        } else if (n < o) {
            q3::writeEntity(out, &m_gameState.baseline(n), &snap.entities[i++], true);
        } else {
            q3::writeEntity(out, &old[j++], nullptr, true);
        }
    }
    out.writeBits(q3::kNoEntity, q3::kEntityNumberBits);
}

QByteArray Q3Codec::rebuild()
{
    if (!canRebuild())
        throw DemoError("no game state and snapshot to start from yet");
    const Snapshot &snap = newestSnapshot();
    Q3MessageWriter state(kMaxMessage);
    state.writeLong(m_reliableAck);
    state.writeByte(kGameState);
    m_gameState.write(state);
    state.writeByte(kEnd);
    Q3MessageWriter first(kMaxMessage);
    first.writeLong(m_reliableAck);
    writeSnapshot(first, snap, nullptr);
    first.writeByte(kEnd);
    m_copying = true;
    m_copyStart = snap.messageNum;
    m_copyNewest = snap.messageNum;
    return framed(snap.messageNum - 1, state.finish()) + framed(snap.messageNum, first.finish());
}

QByteArray Q3Codec::liveForm(const Frame &frame)
{
    if (!m_copying || frame.kind != Frame::Message)
        return {};
    if (m_hadGameState) {
        // A new level: what came before no longer counts, in the copy as in the game.
        m_copyStart = m_newest >= 0 ? m_newest : frame.sequence;
        m_copyNewest = m_newest;
        return framed(frame.sequence, frame.payload.toByteArray());
    }
    if (!m_hadSnapshot || m_deltaSource < 0 || m_deltaSource >= m_copyStart) {
        if (m_hadSnapshot)
            m_copyNewest = frame.sequence;
        return framed(frame.sequence, frame.payload.toByteArray());
    }
    // Delta-coded from a snapshot before the copy began: coded again from the newest the copy
    // holds, or whole when that is too far back for the game to keep it.
    Q3MessageWriter out(kMaxMessage);
    out.writeLong(m_reliableAck);
    for (const Command &c : std::as_const(m_commands)) {
        out.writeByte(kServerCommand);
        out.writeLong(c.sequence);
        out.writeString(c.text);
    }
    const Snapshot &snap = newestSnapshot();
    const Snapshot *held = m_copyNewest >= 0 ? &m_snapshots[std::size_t(m_copyNewest % kBackup)] : nullptr;
    if (held && !(held->valid && held->messageNum == m_copyNewest && snap.messageNum > m_copyNewest && snap.messageNum - m_copyNewest < kBackup))
        held = nullptr;
    writeSnapshot(out, snap, held);
    out.writeByte(kEnd);
    m_copyNewest = frame.sequence;
    return framed(frame.sequence, out.finish());
}

QByteArray Q3Codec::endMarker() const
{
    return QByteArray(8, '\xff');
}

} // namespace arbelon::demo
