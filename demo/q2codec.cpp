#include "q2codec.h"

#include <QtEndian>

#include <cstring>
#include <string>

namespace arbelon::demo {

using namespace q2;

namespace {

[[noreturn]] void fail(const std::string &what)
{
    throw DemoError("Quake 2 demo: " + what);
}

std::size_t slot(qint32 serverFrame)
{
    return std::size_t(quint32(serverFrame) & (kUpdateBackup - 1));
}

// A statusbar program may fill the slots up to CS_AIRACCEL; any other string one slot. Longer
// ones are left out, as yquake2/yquake2 src/client/cl_parse.c CL_ParseConfigString does.
qsizetype configStringSpace(int index)
{
    if (index >= kCsStatusBar && index < kCsAirAccel)
        return qsizetype(kCsAirAccel - index) * kMaxQPath;
    return kMaxQPath;
}

// What rebuild() writes of one slot at most. Cutting a string that runs on into later slots is
// harmless: those slots are written after it and restore the rest.
constexpr qsizetype kMaxConfigStringWrite = 1024;

// client/client.h: cl.layout holds 1023 characters.
constexpr qsizetype kMaxLayout = 1023;

} // namespace

Frame Q2Codec::nextFrame(QByteArrayView bytes) const
{
    Frame f;
    if (bytes.size() < 4)
        return f;
    const qint32 length = qFromLittleEndian<qint32>(bytes.data());
    // client/cl_main.c CL_Stop_f: a length of -1 ends the demo.
    if (length == -1) {
        f.kind = Frame::End;
        f.size = 4;
        return f;
    }
    if (length < 0 || length > kMaxFramedMessage)
        fail("a message length of " + std::to_string(length) + " bytes is out of bounds");
    if (bytes.size() - 4 < length)
        return f;
    f.kind = Frame::Message;
    f.size = 4 + length;
    f.payload = bytes.sliced(4, length);
    return f;
}

QByteArray Q2Codec::endMarker() const
{
    return QByteArray(4, '\xff');
}

const Q2Codec::FrameState *Q2Codec::heldFrame(qint32 serverFrame) const
{
    const FrameState &f = m_frames[slot(serverFrame)];
    return f.valid && f.serverFrame == serverFrame ? &f : nullptr;
}

QByteArray Q2Codec::configString(int index) const
{
    if (index < 0 || index >= kMaxConfigStrings || m_configStrings.isEmpty())
        return {};
    const char *at = m_configStrings.constData() + qsizetype(index) * kMaxQPath;
    const qsizetype room = m_configStrings.size() - qsizetype(index) * kMaxQPath;
    return QByteArray(at, qsizetype(qstrnlen(at, uint(room))));
}

void Q2Codec::setConfigString(int index, QByteArrayView value)
{
    if (value.size() >= configStringSpace(index))
        return;
    char *at = m_configStrings.data() + qsizetype(index) * kMaxQPath;
    if (!value.isEmpty()) // an empty view may have no data at all
        std::memcpy(at, value.data(), std::size_t(value.size()));
    at[value.size()] = '\0';
}

void Q2Codec::resetGameState()
{
    // client/cl_main.c CL_ClearState, called by CL_ParseServerData.
    m_configStrings = QByteArray(qsizetype(kMaxConfigStrings) * kMaxQPath, '\0');
    m_baselines.fill({});
    m_frames.fill({});
    m_newest.reset();
    m_layout.reset();
    m_inventory.reset();
    m_copyHolds.fill(std::nullopt);
    m_copyNewest.reset();
}

MessageInfo Q2Codec::parse(const Frame &frame)
{
    MessageInfo info;
    m_planValid = false;
    m_plan.clear();
    m_newTexts.clear();
    if (frame.kind != Frame::Message)
        return info;
    m_planSize = frame.payload.size();
    Reader in(frame.payload);
    bool stopped = false;
    // client/cl_parse.c CL_ParseServerMessage: commands until the message's end.
    while (!in.atEnd() && !stopped) {
        const qsizetype start = in.position();
        const quint8 command = in.byte();
        switch (command) {
        case SvcServerData:
            parseServerData(in, info);
            break;
        case SvcConfigString: {
            const int index = in.shortValue();
            if (index < 0 || index >= kMaxConfigStrings)
                fail("configstring " + std::to_string(index) + " is out of range");
            const QByteArray value = in.string();
            if (m_serverData) {
                setConfigString(index, value);
                m_newTexts.push_back({SvcConfigString, index, {}});
            }
            break;
        }
        case SvcSpawnBaseline: {
            quint32 bits = 0;
            const int number = readEntityBits(in, bits);
            m_baselines[std::size_t(number)] = readEntityDelta(in, EntityState{}, number, bits);
            break;
        }
        case SvcFrame:
            parseFrame(in, start, info);
            break;
        case SvcStuffText:
        case SvcCenterPrint:
            in.string();
            break;
        case SvcPrint: {
            const int level = in.byte();
            m_newTexts.push_back({SvcPrint, level, in.string()});
            break;
        }
        case SvcLayout:
            m_layout = in.string().left(kMaxLayout);
            m_newTexts.push_back({SvcLayout, 0, *m_layout});
            break;
        case SvcInventory: {
            std::array<qint16, kMaxItems> items{};
            for (qint16 &item : items)
                item = in.shortValue();
            m_inventory = items;
            break;
        }
        case SvcSound:
            skipSound(in);
            break;
        case SvcTempEntity:
            skipTempEntity(in);
            break;
        case SvcMuzzleFlash:
        case SvcMuzzleFlash2: {
            // client/cl_fx.c CL_ParseMuzzleFlash, CL_ParseMuzzleFlash2.
            const int entity = in.shortValue();
            if (entity < 1 || entity >= kMaxEdicts)
                fail("a muzzle flash's entity " + std::to_string(entity) + " is out of range");
            in.byte();
            break;
        }
        case SvcDownload: {
            // client/cl_parse.c CL_ParseDownload: -1 says the server has no such file.
            const int size = in.shortValue();
            in.byte();
            if (size < -1)
                fail("a download piece of " + std::to_string(size) + " bytes");
            if (size > 0)
                in.take(size);
            break;
        }
        case SvcNop:
        case SvcReconnect:
            break;
        case SvcDisconnect:
            // The client drops the connection; the rest of the message is never read.
            stopped = true;
            break;
        case SvcPlayerInfo:
        case SvcPacketEntities:
        case SvcDeltaPacketEntities:
            fail("frame data outside a frame");
        default:
            fail("unknown server command " + std::to_string(command));
        }
    }
    m_planValid = m_live;
    return info;
}

void Q2Codec::parseServerData(Reader &in, MessageInfo &info)
{
    // client/cl_parse.c CL_ParseServerData.
    const qint32 protocol = in.longValue();
    m_protocol = protocol;
    if (protocol != kProtocol)
        fail("protocol " + std::to_string(protocol) + " is not supported for live play");
    ServerData data;
    data.serverCount = in.longValue();
    data.attractLoop = in.byte();
    data.gameDir = in.string();
    data.playerNum = in.shortValue();
    data.levelName = in.string();
    resetGameState();
    m_serverData = data;
    info.gameState = true;
}

void Q2Codec::parseFrame(Reader &in, qsizetype start, MessageInfo &info)
{
    // client/cl_ents.c CL_ParseFrame.
    if (!m_serverData)
        fail("a frame before the server data");
    FrameState f;
    f.valid = true;
    f.serverFrame = in.longValue();
    const qint32 deltaFrame = in.longValue();
    f.suppressCount = in.byte(); // protocol 34 has it, 26 had not
    const int areaBytes = in.byte();
    if (areaBytes > kMaxAreaBytes)
        fail("a frame with " + std::to_string(areaBytes) + " bytes of area bits");
    f.areaBits = in.take(areaBytes).toByteArray();

    const FrameState *old = nullptr;
    if (deltaFrame > 0) {
        old = heldFrame(deltaFrame);
        if (!old)
            fail("frame " + std::to_string(f.serverFrame) + " is delta-coded from frame "
                 + std::to_string(deltaFrame) + ", which the demo does not hold");
    }
    if (in.byte() != SvcPlayerInfo)
        fail("a frame without player info");
    f.player = readPlayerState(in, old ? old->player : PlayerState{});
    if (in.byte() != SvcPacketEntities)
        fail("a frame without packet entities");
    f.entities = readPacketEntities(in, old ? old->entities : EntityList{}, m_baselines);

    if (m_live) {
        Span span{start, in.position(), true, {}};
        const bool copyHas = deltaFrame <= 0 || m_copyHolds[slot(deltaFrame)] == deltaFrame;
        if (!copyHas) {
            const FrameState *source = m_copyNewest ? heldFrame(*m_copyNewest) : nullptr;
            Writer w;
            writeFrame(w, f, source);
            span.replacement = w.bytes();
        }
        m_plan.push_back(span);
        m_copyHolds[slot(f.serverFrame)] = f.serverFrame;
        // A delta frame of 0 or less means "not delta-coded": such a frame is no source.
        if (f.serverFrame > 0)
            m_copyNewest = f.serverFrame;
    }

    info.snapshot = true;
    info.serverTimeMs = qint64(f.serverFrame) * 100;
    // The game freezes every player at the intermission (game/p_hud.c MoveClientToIntermission,
    // game/p_client.c ClientThink); a chasing spectator is frozen too (game/g_chase.c
    // UpdateChaseCam) but has STAT_CHASE set (game/p_hud.c G_SetSpectatorStats).
    info.intermission = f.player.pmType == kPmFreeze && f.player.stats[kStatChase] == 0;
    m_newest = f.serverFrame;
    m_frames[slot(f.serverFrame)] = std::move(f);
}

void Q2Codec::writeFrame(Writer &out, const FrameState &frame, const FrameState *from) const
{
    // As server/sv_ents.c SV_WriteFrameToClient; without a source, a full frame (-1).
    out.byte(SvcFrame);
    out.longValue(frame.serverFrame);
    out.longValue(from ? from->serverFrame : -1);
    out.byte(frame.suppressCount);
    out.byte(quint8(frame.areaBits.size()));
    out.append(frame.areaBits);
    writePlayerState(out, from ? from->player : PlayerState{}, frame.player);
    writePacketEntities(out, from ? from->entities : EntityList{}, frame.entities, m_baselines);
}

bool Q2Codec::canRebuild() const
{
    return m_protocol == kProtocol && m_serverData && m_newest && heldFrame(*m_newest);
}

QByteArray Q2Codec::rebuild()
{
    if (!canRebuild())
        fail("no server data and frame to start a demo from yet");
    // client/cl_main.c CL_Record_f: the server data, configstrings and baselines in messages
    // the client can take, then "precache".
    QByteArray result;
    Writer msg;
    auto flush = [&]() {
        if (msg.size() > 0)
            result += framed(msg.bytes());
        msg.clear();
    };
    const ServerData &data = *m_serverData;
    msg.byte(SvcServerData);
    msg.longValue(kProtocol);
    msg.longValue(data.serverCount);
    msg.byte(data.attractLoop);
    // The client keeps MAX_QPATH - 1 characters of the game directory (cl.gamedir); the level
    // name is only shown.
    msg.string(data.gameDir.left(kMaxQPath - 1));
    msg.shortValue(data.playerNum);
    msg.string(data.levelName.left(kMaxConfigStringWrite));
    for (int i = 0; i < kMaxConfigStrings; ++i) {
        const QByteArray value = configString(i).left(kMaxConfigStringWrite);
        if (value.isEmpty())
            continue;
        if (msg.size() + value.size() + 32 > kMaxMsgLen)
            flush();
        msg.byte(SvcConfigString);
        msg.shortValue(qint16(i));
        msg.string(value);
    }
    // Every baseline that says anything, not only those with a model as CL_Record_f has it:
    // later frames are delta-coded from all of them.
    for (int i = 0; i < kMaxEdicts; ++i) {
        EntityState b = m_baselines[std::size_t(i)];
        b.number = 0;
        if (b == EntityState{})
            continue;
        b.number = i;
        if (msg.size() + 64 > kMaxMsgLen)
            flush();
        msg.byte(SvcSpawnBaseline);
        writeEntityDelta(msg, EntityState{}, b, true);
    }
    msg.byte(SvcStuffText);
    msg.string("precache\n");
    flush();

    // The newest frame in full, with the layout and inventory the client shows with it.
    const FrameState &newest = *heldFrame(*m_newest);
    FrameState full = newest;
    full.suppressCount = 0;
    Writer frame;
    writeFrame(frame, full, nullptr);
    if (frame.size() > kMaxMsgLen)
        fail("frame " + std::to_string(newest.serverFrame) + " in full takes "
             + std::to_string(frame.size()) + " bytes, more than a message holds");
    if (m_layout) {
        msg.byte(SvcLayout);
        msg.string(*m_layout);
    }
    if (m_inventory) {
        Writer items;
        items.byte(SvcInventory);
        for (const qint16 item : *m_inventory)
            items.shortValue(item);
        if (msg.size() + items.size() > kMaxMsgLen)
            flush();
        msg.append(items.bytes());
    }
    if (msg.size() + frame.size() > kMaxMsgLen)
        flush();
    msg.append(frame.bytes());
    flush();

    m_live = true;
    m_planValid = false;
    m_plan.clear();
    m_copyHolds.fill(std::nullopt);
    m_copyHolds[slot(newest.serverFrame)] = newest.serverFrame;
    m_copyNewest.reset();
    if (newest.serverFrame > 0)
        m_copyNewest = newest.serverFrame;
    return result;
}

QByteArray Q2Codec::liveForm(const Frame &frame)
{
    if (!m_planValid || frame.kind != Frame::Message)
        return {};
    if (frame.payload.size() != m_planSize)
        fail("the live form is asked for another message than the one read");
    // The engine's demo player stops at an empty message.
    if (frame.payload.isEmpty())
        return {};
    bool changed = false;
    for (const Span &s : m_plan)
        changed = changed || !s.replacement.isEmpty();
    if (!changed)
        return framed(frame.payload);

    const QByteArrayView bytes = frame.payload;
    QByteArray whole, others, frames;
    qsizetype at = 0;
    for (const Span &s : m_plan) {
        const QByteArrayView between = bytes.sliced(at, s.from - at);
        const QByteArrayView own = s.replacement.isEmpty() ? bytes.sliced(s.from, s.to - s.from)
                                                           : QByteArrayView(s.replacement);
        whole += between;
        whole += own;
        others += between;
        frames += own;
        at = s.to;
    }
    whole += bytes.sliced(at);
    others += bytes.sliced(at);
    if (whole.size() <= kMaxMsgLen || bytes.size() > kMaxMsgLen)
        return framed(whole);
    // Re-encoded past what the engine reads: the frames go into a message of their own.
    return (others.isEmpty() ? QByteArray() : framed(others)) + framed(frames);
}

} // namespace arbelon::demo
