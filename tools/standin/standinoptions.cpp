#include "standin/standinoptions.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace arbelon {

namespace {

constexpr qint64 kMaxBlock = 16 * 1024 * 1024;
constexpr qint64 kMaxRate = 1000LL * 1024 * 1024;
constexpr int kMaxModLength = 16;
constexpr int kMaxNameLength = 64;

std::optional<qint64> number(const QString &text, qint64 min, qint64 max)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (!ok || value < min || value > max)
        return std::nullopt;
    return value;
}

// The mod that a game's own command line selects ("+set game ctf"), or empty.
QString modFromGameArguments(const QStringList &positional)
{
    QString mod;
    for (int i = 0; i + 2 < positional.size(); ++i) {
        if (positional.at(i).compare(QLatin1String("+set"), Qt::CaseInsensitive) == 0
            && positional.at(i + 1).compare(QLatin1String("game"), Qt::CaseInsensitive) == 0)
            mod = positional.at(i + 2);
    }
    return mod;
}

} // namespace

int gameForExecutableName(const QString &fileName)
{
    if (fileName.compare(QLatin1String("quake2.exe"), Qt::CaseInsensitive) == 0)
        return 2;
    if (fileName.compare(QLatin1String("quake3.exe"), Qt::CaseInsensitive) == 0)
        return 3;
    return 0;
}

bool isPlainName(const QString &name, int maxLength)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_\\-][A-Za-z0-9_.\\-]*$"));
    return !name.isEmpty() && name.size() <= maxLength && plain.match(name).hasMatch();
}

StandinParseResult parseStandinOptions(const QStringList &args, int launchedAsGame,
                                       const QString &exeDir)
{
    const bool asGame = launchedAsGame == 2 || launchedAsGame == 3;
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption gameOpt(QStringLiteral("game"), QStringLiteral("2 or 3"),
                                     QStringLiteral("N"));
    const QCommandLineOption dirOpt(QStringLiteral("dir"), QStringLiteral("game directory"),
                                    QStringLiteral("GAMEDIR"));
    const QCommandLineOption modOpt(QStringLiteral("mod"), QStringLiteral("Quake 2 mod"),
                                    QStringLiteral("MOD"));
    const QCommandLineOption sourceOpt(QStringLiteral("source"), QStringLiteral("demo bytes"),
                                       QStringLiteral("FILE"));
    const QCommandLineOption rateOpt(QStringLiteral("rate"), QStringLiteral("bytes a second"),
                                     QStringLiteral("BYTES_PER_SEC"));
    const QCommandLineOption blockOpt(QStringLiteral("block"), QStringLiteral("bytes per write"),
                                      QStringLiteral("BYTES"));
    const QCommandLineOption nameOpt(QStringLiteral("name"), QStringLiteral("demo name"),
                                     QStringLiteral("DEMONAME"));
    const QCommandLineOption extOpt(QStringLiteral("ext"), QStringLiteral("Quake 3 extension"),
                                    QStringLiteral("EXT"));
    const QCommandLineOption lfOpt(QStringLiteral("lf"), QStringLiteral("LF line ends"));
    const QCommandLineOption delayOpt(QStringLiteral("delay-start"),
                                      QStringLiteral("wait before recording"),
                                      QStringLiteral("MS"));
    const QCommandLineOption lingerOpt(QStringLiteral("linger"),
                                       QStringLiteral("keep running after the demo"),
                                       QStringLiteral("MS"));
    const QCommandLineOption noWindowOpt(QStringLiteral("no-window"),
                                         QStringLiteral("never show a window"));
    const QCommandLineOption recordOpt(QStringLiteral("record-launch"),
                                       QStringLiteral("file that gets the launch record"),
                                       QStringLiteral("FILE"));
    parser.addOptions({gameOpt, dirOpt, modOpt, sourceOpt, rateOpt, blockOpt, nameOpt, extOpt,
                       lfOpt, delayOpt, lingerOpt, noWindowOpt, recordOpt});

    StandinParseResult result;
    // A game ignores what it does not understand; the tool itself is strict.
    if (!parser.parse(args) && !asGame) {
        result.error = parser.errorText();
        return result;
    }
    if (!asGame && !parser.positionalArguments().isEmpty()) {
        result.error = QStringLiteral("unexpected argument: ") + parser.positionalArguments().first();
        return result;
    }

    StandinOptions o;
    auto fail = [&result](const QString &text) {
        result.error = text;
        return result;
    };

    if (asGame) {
        o.game = launchedAsGame;
    } else if (parser.isSet(gameOpt)) {
        const auto game = number(parser.value(gameOpt), 2, 3);
        if (!game)
            return fail(QStringLiteral("--game must be 2 or 3"));
        o.game = int(*game);
    }

    const QString dir = asGame ? exeDir
                               : (parser.isSet(dirOpt) ? parser.value(dirOpt) : QDir::currentPath());
    if (!QFileInfo(dir).isDir())
        return fail(QStringLiteral("game directory does not exist: ") + dir);
    o.gameDir = QDir(dir).absolutePath();

    if (o.game == 3) {
        o.mod = QStringLiteral("baseq3");
    } else {
        QString mod = parser.isSet(modOpt) ? parser.value(modOpt) : QString();
        if (asGame && mod.isEmpty())
            mod = modFromGameArguments(parser.positionalArguments());
        if (mod.isEmpty())
            mod = QStringLiteral("baseq2");
        if (!isPlainName(mod, kMaxModLength)) {
            if (!asGame)
                return fail(QStringLiteral("--mod must be one plain folder name"));
            mod = QStringLiteral("baseq2"); // as a game falls back to its base folder
        }
        o.mod = mod;
    }

    if (parser.isSet(sourceOpt)) {
        o.source = parser.value(sourceOpt);
        if (!QFileInfo(o.source).isFile())
            return fail(QStringLiteral("source file does not exist: ") + o.source);
    }
    if (parser.isSet(rateOpt)) {
        const auto rate = number(parser.value(rateOpt), 1, kMaxRate);
        if (!rate)
            return fail(QStringLiteral("--rate must be a positive number of bytes"));
        o.rate = *rate;
    }
    if (parser.isSet(blockOpt)) {
        const auto block = number(parser.value(blockOpt), 1, kMaxBlock);
        if (!block)
            return fail(QStringLiteral("--block must be 1 to 16777216 bytes"));
        o.block = *block;
    }
    if (parser.isSet(nameOpt)) {
        o.name = parser.value(nameOpt);
        if (!isPlainName(o.name, kMaxNameLength))
            return fail(QStringLiteral("--name must be a plain file name"));
    }
    if (parser.isSet(extOpt)) {
        static const QRegularExpression ext(QStringLiteral("^(dm3|dm_[0-9]{1,3})$"));
        o.ext = parser.value(extOpt);
        if (!ext.match(o.ext).hasMatch())
            return fail(QStringLiteral("--ext must be dm3 or dm_NN"));
    }
    o.lf = parser.isSet(lfOpt);
    if (parser.isSet(delayOpt)) {
        const auto delay = number(parser.value(delayOpt), 0, 24 * 3600 * 1000);
        if (!delay)
            return fail(QStringLiteral("--delay-start must be 0 or more milliseconds"));
        o.delayStartMs = int(*delay);
    }
    if (parser.isSet(lingerOpt)) {
        const auto linger = number(parser.value(lingerOpt), -1, 24 * 3600 * 1000);
        if (!linger)
            return fail(QStringLiteral("--linger must be -1 or more milliseconds"));
        o.lingerMs = int(*linger);
    }
    o.noWindow = parser.isSet(noWindowOpt);
    o.recordLaunch = parser.value(recordOpt);

    result.options = o;
    return result;
}

} // namespace arbelon
