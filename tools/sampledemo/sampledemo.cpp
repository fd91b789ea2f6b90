// arbelon-sample-demo: writes a demo-like file of a given size, the same bytes for the same
// seed, so that a demonstration needs no game and no download. The layout follows a Quake 2
// demo (length-prefixed server messages: a server-data message, then one frame message
// per tenth of a second with player state and moving entities, and the -1 end marker),
// which gives the compressor bytes that look like a real recording.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>

#include <cstdio>

namespace {

// A small linear congruential generator: fixed output for a fixed seed on every platform.
class Lcg {
public:
    explicit Lcg(quint32 seed) : m_state(seed) {}
    quint32 next()
    {
        m_state = m_state * 1664525u + 1013904223u;
        return m_state >> 8;
    }
    int range(int lo, int hi) { return lo + int(next() % quint32(hi - lo + 1)); }

private:
    quint32 m_state;
};

void putByte(QByteArray &out, int v) { out.append(char(v & 0xff)); }
void putShort(QByteArray &out, int v)
{
    putByte(out, v);
    putByte(out, v >> 8);
}
void putLong(QByteArray &out, qint32 v)
{
    putShort(out, v);
    putShort(out, v >> 16);
}
void putString(QByteArray &out, const char *s)
{
    out.append(s);
    out.append('\0');
}

struct Entity {
    int number;
    int x, y, z;
    int dx, dy;
};

QByteArray serverData()
{
    QByteArray m;
    putByte(m, 12);         // server data
    putLong(m, 34);         // protocol
    putLong(m, 0x41726265); // server count
    putByte(m, 1);          // recorded demo
    putString(m, "baseq2");
    putShort(m, 0); // player slot
    putString(m, "sample1");
    for (int i = 0; i < 24; ++i) { // config strings: models and sounds of the map
        putByte(m, 13);
        putShort(m, 32 + i);
        char name[48];
        std::snprintf(name, sizeof name, "models/items/sample_%02d/tris.md2", i);
        putString(m, name);
    }
    return m;
}

QByteArray frame(Lcg &rng, int number, QList<Entity> &entities)
{
    QByteArray m;
    putByte(m, 20); // frame
    putLong(m, number);
    putLong(m, number - 1); // delta from the previous frame
    putByte(m, 0);
    putByte(m, 0);  // area bits
    putByte(m, 17); // player state
    putShort(m, 0x0003);
    putShort(m, rng.range(-4000, 4000));
    putShort(m, rng.range(-4000, 4000));
    putByte(m, 18); // packet entities
    for (Entity &e : entities) {
        e.x += e.dx;
        e.y += e.dy;
        if (rng.range(0, 15) == 0) {
            e.dx = rng.range(-24, 24);
            e.dy = rng.range(-24, 24);
        }
        putByte(m, 0x07); // origin bits
        putByte(m, e.number);
        putShort(m, e.x);
        putShort(m, e.y);
        putShort(m, e.z);
    }
    putShort(m, 0);         // end of entities
    if (number % 25 == 0) { // now and then a sound
        putByte(m, 9);
        putByte(m, 0x1b);
        putByte(m, rng.range(32, 55));
        putShort(m, rng.range(0, 1023));
    }
    return m;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Writes a deterministic demo-like file."));
    parser.addHelpOption();
    const QCommandLineOption sizeOpt(QStringLiteral("size"), QStringLiteral("File size in bytes."),
                                     QStringLiteral("BYTES"), QStringLiteral("300000"));
    const QCommandLineOption seedOpt(QStringLiteral("seed"), QStringLiteral("Generator seed."),
                                     QStringLiteral("N"), QStringLiteral("1"));
    parser.addOptions({sizeOpt, seedOpt});
    parser.addPositionalArgument(QStringLiteral("output"), QStringLiteral("File to write."));
    parser.process(app);

    bool sizeOk = false;
    bool seedOk = false;
    const qint64 size = parser.value(sizeOpt).toLongLong(&sizeOk);
    const quint32 seed = parser.value(seedOpt).toUInt(&seedOk);
    if (!sizeOk || size < 4096 || size > 256LL * 1024 * 1024 || !seedOk
        || parser.positionalArguments().size() != 1) {
        std::fprintf(stderr, "arbelon-sample-demo: --size 4096..268435456, --seed N and one output file\n");
        return 64;
    }

    Lcg rng(seed);
    QList<Entity> entities;
    for (int i = 1; i <= 12; ++i)
        entities.append({i, rng.range(-2000, 2000), rng.range(-2000, 2000), rng.range(0, 300), 0, 0});

    QByteArray out;
    out.reserve(size + 1024);
    auto addMessage = [&out](const QByteArray &message) {
        putLong(out, qint32(message.size()));
        out.append(message);
    };
    // Frames while they fit, then one message of no-operations fills the rest exactly (a
    // message is at least its 4-byte length), then the end marker closes the demo.
    addMessage(serverData());
    qsizetype lastFrameStart = out.size();
    for (int n = 1;; ++n) {
        const QByteArray f = frame(rng, n, entities);
        if (out.size() + 4 + f.size() + 4 > size)
            break;
        lastFrameStart = out.size();
        addMessage(f);
    }
    if (size - 4 - out.size() < 4)
        out.truncate(lastFrameStart);
    addMessage(QByteArray(size - 4 - out.size() - 4, char(6)));
    putLong(out, -1);

    QSaveFile file(parser.positionalArguments().first());
    if (!file.open(QIODevice::WriteOnly) || file.write(out) != out.size() || !file.commit()) {
        std::fprintf(stderr, "arbelon-sample-demo: cannot write %s\n",
                     qPrintable(parser.positionalArguments().first()));
        return 1;
    }
    return 0;
}
