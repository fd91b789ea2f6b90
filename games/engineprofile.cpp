#include "engineprofile.h"

#include "gamelayout.h"
#include "nativeengines.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>

namespace arbelon::engineprofiles {

namespace {

const QByteArray kQuake2Logging("logfile 2");
const QByteArray kQuake3Logging("seta logfile \"2\"");
const QString kConsoleLog = QStringLiteral("qconsole.log");
// CL_Stop_f (Quake 2) and CL_StopRecord_f (Quake 3) of the originals and of the engines
// derived from them print this once the demo file is closed.
const QByteArray kStoppedDemo("Stopped demo.");

QStringList quake2Play()
{
    return {QStringLiteral("+set"), QStringLiteral("game"), QStringLiteral("{mod}"),
            QStringLiteral("+map"), QStringLiteral("{name}{ext}")};
}

QStringList quake3Play() { return {QStringLiteral("+demo"), QStringLiteral("{name}{ext}")}; }

QList<EngineProfile> makeBuiltIn()
{
    // The Windows programs, laid out as they always were: everything beside the program.
    EngineProfile q2 = detail::quake2Engine(QStringLiteral("quake2"), QStringLiteral("Quake 2 (Windows)"));
    q2.programs = {QStringLiteral("quake2.exe")};
    q2.processNames = {QStringLiteral("quake2.exe")};
    q2.windowTitle = QStringLiteral("Quake 2");

    EngineProfile q3 = detail::quake3Engine(QStringLiteral("quake3"), QStringLiteral("Quake 3 Arena (Windows)"),
                                            QStringLiteral("baseq3"),
                                            {QStringLiteral(".dm3"), QStringLiteral(".dm_nn")});
    q3.programs = {QStringLiteral("quake3.exe")};
    q3.processNames = {QStringLiteral("quake3.exe")};
    q3.windowTitle = QStringLiteral("Quake 3: Arena");

    return QList<EngineProfile>{q2, q3} + detail::nativeEngines();
}

const QLatin1String kAppData("{appdata}");
const QLatin1String kDocuments("{documents}");

// "C:/..." or "C:\...": a Windows path, known as such on every system so that a profile
// file means the same wherever it is read.
bool isDrivePath(const QString &path)
{
    return path.size() >= 3 && path.at(0).isLetter() && path.at(0).unicode() < 128
           && path.at(1) == QLatin1Char(':') && (path.at(2) == QLatin1Char('/') || path.at(2) == QLatin1Char('\\'));
}

// The user-folder placeholder a path starts with ("{appdata}", "{documents}"), else empty.
QLatin1String leadingPlaceholder(const QString &path)
{
    for (const QLatin1String name : {kAppData, kDocuments}) {
        if (path.startsWith(name)
            && (path.size() == name.size() || path.at(name.size()) == QLatin1Char('/')
                || path.at(name.size()) == QLatin1Char('\\')))
            return name;
    }
    return {};
}

// The path with "/" between folders. Windows forms take "/" on every system; other paths are
// this system's, where a "\" may be part of a name.
QString withSlashes(const QString &path)
{
    if (isDrivePath(path) || !leadingPlaceholder(path).isEmpty())
        return QString(path).replace(QLatin1Char('\\'), QLatin1Char('/'));
    return QDir::fromNativeSeparators(path);
}

// An absolute path as a profile file may give it: from a root, or from a drive.
bool isAbsolute(const QString &slashed) { return slashed.startsWith(QLatin1Char('/')) || isDrivePath(slashed); }

// The folder a placeholder stands for, "/" separated; empty when it cannot be known.
QString userFolder(QLatin1String placeholder, const QString &home)
{
    if (placeholder == kDocuments)
        return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    // The roaming folder (CSIDL_APPDATA) the engines use; QStandardPaths knows only the local
    // one. Without the variable, where Windows puts it under the home folder.
    const QString appData = withSlashes(qEnvironmentVariable("APPDATA"));
    if (isAbsolute(appData))
        return appData;
    return home.isEmpty() ? QString() : QDir(home).filePath(QStringLiteral("AppData/Roaming"));
}

bool validId(const QString &id)
{
    static const QRegularExpression re(QStringLiteral("^[a-z0-9][a-z0-9-]{0,31}$"));
    return re.match(id).hasMatch();
}

bool validExtension(const QString &ext)
{
    static const QRegularExpression re(QStringLiteral("^\\.dm[a-z0-9_]{1,6}$"));
    return re.match(ext).hasMatch();
}

// An absolute path (Windows ones too), "~/...", or one plain file name (looked up in PATH).
bool validProgram(const QString &program)
{
    if (program.isEmpty() || program.contains(QChar(0)))
        return false;
    const QString path = withSlashes(program);
    if (isAbsolute(path) || path.startsWith(QLatin1String("~/")))
        return !path.split(QLatin1Char('/')).contains(QStringLiteral(".."));
    return !path.contains(QLatin1Char('/')) && path != QLatin1String(".") && path != QLatin1String("..");
}

bool parseBool(const QString &v, bool *ok)
{
    *ok = true;
    if (v == QLatin1String("yes") || v == QLatin1String("true") || v == QLatin1String("1"))
        return true;
    if (v == QLatin1String("no") || v == QLatin1String("false") || v == QLatin1String("0"))
        return false;
    *ok = false;
    return false;
}

QStringList words(const QString &v) { return v.split(QLatin1Char(' '), Qt::SkipEmptyParts); }

// Applies one "key = value"; returns the error, empty when taken.
QString apply(EngineProfile &p, const QString &key, const QString &value)
{
    bool ok = true;
    if (key == QLatin1String("title")) {
        p.title = value;
    } else if (key == QLatin1String("game")) {
        if (value != QLatin1String("2") && value != QLatin1String("3"))
            return QStringLiteral("game must be 2 or 3");
        p.gameType = value == QLatin1String("3") ? 1 : 0;
    } else if (key == QLatin1String("program")) {
        QStringList programs;
        for (const QString &prog : words(value)) {
            if (!validProgram(prog))
                return QStringLiteral("program \"%1\" is neither an absolute path nor a plain name").arg(prog);
            programs << withSlashes(prog);
        }
        p.programs = programs;
    } else if (key == QLatin1String("arguments")) {
        p.arguments = words(value);
    } else if (key == QLatin1String("data-dir")) {
        const QString dir = withSlashes(value);
        if (!dir.isEmpty() && !isAbsolute(dir) && !dir.startsWith(QLatin1String("~/"))
            && leadingPlaceholder(dir).isEmpty())
            return QStringLiteral("data-dir must be absolute or start with ~/, {appdata} or {documents}");
        if (dir.split(QLatin1Char('/')).contains(QStringLiteral("..")))
            return QStringLiteral("data-dir must not contain ..");
        p.dataDir = dir;
    } else if (key == QLatin1String("base-folder")) {
        if (!gamelayout::isPlainFolderName(value))
            return QStringLiteral("base-folder must be one plain folder name");
        p.baseFolder = value;
    } else if (key == QLatin1String("mod-folders")) {
        p.modFolders = parseBool(value, &ok);
    } else if (key == QLatin1String("log-file")) {
        if (!gamelayout::isPlainFolderName(value))
            return QStringLiteral("log-file must be a file name inside the game folder");
        p.logFile = value;
    } else if (key == QLatin1String("logging-line")) {
        if (value.contains(QLatin1Char('\r')) || value.contains(QLatin1Char('\n')) || value.isEmpty())
            return QStringLiteral("logging-line must be one line");
        p.loggingLine = value.toUtf8();
    } else if (key == QLatin1String("stop-line")) {
        if (value.contains(QLatin1Char('\r')) || value.contains(QLatin1Char('\n')))
            return QStringLiteral("stop-line must be one line");
        p.stopLine = value.toUtf8();
    } else if (key == QLatin1String("record-paths")) {
        if (value != QLatin1String("data-folder") && value != QLatin1String("game-folder"))
            return QStringLiteral("record-paths must be data-folder or game-folder");
        p.recordBase = value == QLatin1String("data-folder") ? EngineProfile::RecordBase::DataFolder
                                                             : EngineProfile::RecordBase::GameFolder;
    } else if (key == QLatin1String("demo-extensions")) {
        QStringList exts = words(value.toLower());
        if (exts.isEmpty())
            return QStringLiteral("demo-extensions needs at least one extension");
        for (const QString &e : exts) {
            if (!validExtension(e))
                return QStringLiteral("demo extension \"%1\" is not .dm followed by letters, digits or _").arg(e);
        }
        p.demoExtensions = exts;
    } else if (key == QLatin1String("viewer-extension")) {
        if (!validExtension(value.toLower()) || value.toLower() == QLatin1String(".dm_nn"))
            return QStringLiteral("viewer-extension must be one demo extension such as .dm_68");
        p.viewerExtension = value.toLower();
    } else if (key == QLatin1String("play")) {
        p.playArguments = words(value);
    } else if (key == QLatin1String("process")) {
        p.processNames = words(value);
    } else if (key == QLatin1String("window-class")) {
        p.windowClasses = words(value);
    } else if (key == QLatin1String("window-title")) {
        p.windowTitle = value;
    } else {
        return QStringLiteral("unknown key \"%1\"").arg(key);
    }
    return ok ? QString() : QStringLiteral("%1 must be yes or no").arg(key);
}

// What a profile must hold to be used at all.
QString incomplete(const EngineProfile &p)
{
    if (p.programs.isEmpty())
        return QStringLiteral("no program");
    if (p.baseFolder.isEmpty())
        return QStringLiteral("no base-folder");
    if (p.demoExtensions.isEmpty() || p.viewerExtension.isEmpty())
        return QStringLiteral("no demo-extensions or viewer-extension");
    if (p.logFile.isEmpty() || p.loggingLine.isEmpty())
        return QStringLiteral("no log-file or logging-line");
    if (p.processNames.isEmpty() && p.windowClasses.isEmpty() && p.windowTitle.isEmpty())
        return QStringLiteral("no process, window-class or window-title to recognise it by");
    return {};
}

} // namespace

EngineProfile detail::quake2Engine(const QString &id, const QString &title)
{
    EngineProfile p;
    p.id = id;
    p.title = title;
    p.gameType = 0;
    p.baseFolder = QStringLiteral("baseq2");
    p.modFolders = true;
    p.recordBase = EngineProfile::RecordBase::DataFolder;
    p.logFile = kConsoleLog;
    p.loggingLine = kQuake2Logging;
    p.stopLine = kStoppedDemo;
    p.demoExtensions = {QStringLiteral(".dm2")};
    p.viewerExtension = QStringLiteral(".dm2");
    p.playArguments = quake2Play();
    return p;
}

EngineProfile detail::quake3Engine(const QString &id, const QString &title, const QString &base,
                                   const QStringList &extensions)
{
    EngineProfile p;
    p.id = id;
    p.title = title;
    p.gameType = 1;
    p.baseFolder = base;
    p.logFile = kConsoleLog;
    p.loggingLine = kQuake3Logging;
    p.stopLine = kStoppedDemo;
    p.demoExtensions = extensions;
    p.viewerExtension = extensions.first();
    p.playArguments = quake3Play();
    return p;
}

const QList<EngineProfile> &builtIn()
{
    static const QList<EngineProfile> profiles = makeBuiltIn();
    return profiles;
}

const EngineProfile &original(int gameType) { return builtIn().at(gameType == 1 ? 1 : 0); }

ParseResult parse(const QByteArray &text, const QString &fileName)
{
    // A profile file is a few dozen lines; anything far larger is no profile file.
    constexpr qsizetype kMaxBytes = 256 * 1024;
    constexpr int kMaxProfiles = 64;
    ParseResult result;
    if (text.size() > kMaxBytes) {
        result.errors << QStringLiteral("%1: larger than %2 bytes; not read").arg(fileName).arg(kMaxBytes);
        return result;
    }
    static const QRegularExpression section(QStringLiteral("^\\[engine\\s+([^\\]\\s]+)\\s*\\]$"));
    std::optional<EngineProfile> current;
    bool currentBad = false;
    int currentLine = 0;
    const auto finish = [&] {
        if (current && !currentBad) {
            const QString missing = incomplete(*current);
            if (!missing.isEmpty())
                result.errors << QStringLiteral("%1:%2: engine %3: %4").arg(fileName).arg(currentLine).arg(current->id, missing);
            else
                result.profiles << *current;
        }
        current.reset();
        currentBad = false;
    };
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = QString::fromUtf8(lines.at(i)).trimmed();
        const QString where = QStringLiteral("%1:%2: ").arg(fileName).arg(i + 1);
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QRegularExpressionMatch m = section.match(line);
        if (m.hasMatch()) {
            finish();
            const QString id = m.captured(1);
            currentLine = i + 1;
            if (!validId(id)) {
                result.errors << where + QStringLiteral("engine name \"%1\": use a-z, 0-9 and -").arg(id);
                current = EngineProfile{};
                currentBad = true;
            } else if (result.profiles.size() >= kMaxProfiles) {
                result.errors << where + QStringLiteral("more than %1 engines; the rest is not read").arg(kMaxProfiles);
                return result;
            } else {
                current = find(builtIn(), id).value_or(EngineProfile{});
                current->id = id;
                if (current->title.isEmpty())
                    current->title = id;
                current->builtIn = false;
            }
            continue;
        }
        if (line.startsWith(QLatin1Char('['))) {
            finish();
            result.errors << where + QStringLiteral("a section reads [engine NAME]");
            current = EngineProfile{};
            currentBad = true;
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (!current) {
            result.errors << where + QStringLiteral("a line outside an [engine NAME] section");
            continue;
        }
        if (eq <= 0) {
            result.errors << where + QStringLiteral("expected key = value");
            currentBad = true;
            continue;
        }
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        if (key == QLatin1String("like")) {
            const auto base = find(builtIn(), value);
            if (!base) {
                result.errors << where + QStringLiteral("like: no built-in engine \"%1\"").arg(value);
                currentBad = true;
                continue;
            }
            const QString id = current->id;
            current = *base;
            current->id = id;
            current->builtIn = false;
            continue;
        }
        const QString error = apply(*current, key, value);
        if (!error.isEmpty()) {
            result.errors << where + error;
            currentBad = true;
        }
    }
    finish();
    return result;
}

ParseResult loadFile(const QString &path)
{
    QFile f(path);
    if (!f.exists())
        return {};
    ParseResult result;
    // Only a plain file: a FIFO or device would block the program or never end.
    if (!QFileInfo(path).isFile()) {
        result.errors << QStringLiteral("%1: not a plain file; not read").arg(path);
        return result;
    }
    if (!f.open(QIODevice::ReadOnly)) {
        result.errors << QStringLiteral("%1: %2").arg(path, f.errorString());
        return result;
    }
    // One byte more than the parser takes, so that a larger file is told as such.
    return parse(f.read(256 * 1024 + 1), path);
}

QString userFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/Arbelon/engines.conf");
}

QList<EngineProfile> merged(const QList<EngineProfile> &fromFile)
{
    QList<EngineProfile> out = builtIn();
    for (const EngineProfile &p : fromFile) {
        auto it = std::find_if(out.begin(), out.end(), [&](const EngineProfile &b) { return b.id == p.id; });
        if (it != out.end())
            *it = p;
        else
            out << p;
    }
    return out;
}

std::optional<EngineProfile> find(const QList<EngineProfile> &profiles, const QString &id)
{
    for (const EngineProfile &p : profiles) {
        if (p.id == id)
            return p;
    }
    return std::nullopt;
}

QStringList pathFolders()
{
    QStringList folders;
    const QStringList parts = qEnvironmentVariable("PATH").split(QDir::listSeparator(), Qt::SkipEmptyParts);
    for (const QString &folder : parts)
        folders << QDir::fromNativeSeparators(folder);
    return folders;
}

QString findProgram(const EngineProfile &profile, const QStringList &pathFolders)
{
    for (const QString &listed : profile.programs) {
        const QString program = withSlashes(listed);
        if (isAbsolute(program)) {
            // A path of the other system ("C:/..." on Linux) names nothing here.
            const QFileInfo fi(program);
            if (QDir::isAbsolutePath(program) && fi.isFile() && fi.isExecutable())
                return program;
            continue;
        }
        // A program kept beside its data lives in the game folder the user names.
        if (profile.dataDir.isEmpty() && program.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive))
            continue;
        for (const QString &folder : pathFolders) {
            if (folder.isEmpty())
                continue;
            const QFileInfo fi(QDir(folder).filePath(program));
            if (fi.isFile() && fi.isExecutable())
                return fi.absoluteFilePath();
        }
    }
    return {};
}

QString dataPath(const EngineProfile &profile, const QString &home, const QString &programPath)
{
    QString dir = withSlashes(profile.dataDir);
    if (dir.isEmpty()) {
        const QString program = withSlashes(programPath);
        const qsizetype slash = program.lastIndexOf(QLatin1Char('/'));
        dir = slash < 0 ? QString() : program.left(slash + 1);
    } else if (dir.startsWith(QLatin1String("~/"))) {
        if (home.isEmpty())
            return {};
        dir = QDir(home).filePath(dir.mid(2));
    } else if (const QLatin1String placeholder = leadingPlaceholder(dir); !placeholder.isEmpty()) {
        const QString folder = userFolder(placeholder, home);
        if (folder.isEmpty())
            return {};
        dir = QDir::cleanPath(folder + dir.mid(placeholder.size()));
    }
    if (!dir.isEmpty() && !dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    return dir;
}

QString gameFolder(const EngineProfile &profile, const QString &mod)
{
    if (profile.modFolders && gamelayout::isPlainFolderName(mod))
        return mod;
    return profile.baseFolder;
}

bool acceptsDemo(const EngineProfile &profile, const QString &fileName)
{
    const QString lower = fileName.toLower();
    for (const QString &ext : profile.demoExtensions) {
        if (ext == QLatin1String(".dm_nn")) {
            static const QRegularExpression protocol(QStringLiteral("\\.dm_[0-9]{1,3}$"));
            if (protocol.match(lower).hasMatch())
                return true;
        } else if (lower.endsWith(ext) && lower.size() > ext.size()) {
            return true;
        }
    }
    return false;
}

QStringList playArguments(const EngineProfile &profile, const QString &mod, const QString &name,
                          const QString &ext)
{
    QStringList out = profile.arguments;
    for (QString arg : profile.playArguments) {
        arg.replace(QLatin1String("{mod}"), gameFolder(profile, mod));
        arg.replace(QLatin1String("{name}"), name);
        arg.replace(QLatin1String("{ext}"), ext.isEmpty() ? profile.viewerExtension : ext);
        out << arg;
    }
    return out;
}

} // namespace arbelon::engineprofiles
