// The settings store: value names, types, defaults, the integer/string rules, errors, the
// file stand-in for the registry, and the game list's column widths.

#include "regfile.h"
#include "registryhive.h"
#include "settingsstore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace arbelon;

namespace {

// The eight values in the order LoadSettings reads them.
const QStringList kLoadOrder = {
    QStringLiteral("ServerIP"),
    QStringLiteral("UserNameEdit"),
    QStringLiteral("TransferRateSpin"),
    QStringLiteral("LastEnteredName"),
    QStringLiteral("ModTypeSystem"),
    QStringLiteral("Quake2DirectoryEdit"),
    QStringLiteral("Quake3DirectoryEdit"),
    QStringLiteral("GameTypeSystem"),
};

QVariant field(const ClientSettings &s, const QString &name)
{
    if (name == QLatin1String("ServerIP")) return s.serverIP;
    if (name == QLatin1String("UserNameEdit")) return s.userName;
    if (name == QLatin1String("TransferRateSpin")) return s.transferRate;
    if (name == QLatin1String("LastEnteredName")) return s.lastEnteredName;
    if (name == QLatin1String("ModTypeSystem")) return s.modTypeSystem;
    if (name == QLatin1String("GameTypeSystem")) return s.gameTypeSystem;
    if (name == QLatin1String("Quake2DirectoryEdit")) return s.quake2Dir;
    if (name == QLatin1String("Quake3DirectoryEdit")) return s.quake3Dir;
    if (name == QLatin1String("RecentServers")) return s.recentServers;
    if (name == QLatin1String("WindowGeometry")) return QVariantList{s.windowGeometry, s.windowMaximized};
    return {};
}

// Values that no load would produce, to see which ones a load touched.
ClientSettings markers()
{
    ClientSettings s;
    s.serverIP = QStringLiteral("init-ip");
    s.userName = QStringLiteral("init-user");
    s.transferRate = 1234;
    s.lastEnteredName = QStringLiteral("init-last");
    s.modTypeSystem = QStringLiteral("init-mod");
    s.gameTypeSystem = 7;
    s.quake2Dir = QStringLiteral("init-q2");
    s.quake3Dir = QStringLiteral("init-q3");
    return s;
}

const QByteArray kHeader = "Windows Registry Editor Version 5.00\n\n";
const QByteArray kSetupKey = "[HKEY_CURRENT_USER\\Arbelon Client\\Setup]\n";

// A complete, valid store 1, one line per value in load order.
const QList<QByteArray> kFullLines = {
    "\"ServerIP\"=\"relay.test\"",
    "\"UserNameEdit\"=\"Ann\"",
    "\"TransferRateSpin\"=dword:000009c4",
    "\"LastEnteredName\"=\"Duel\"",
    "\"ModTypeSystem\"=\"ctf\"",
    "\"Quake2DirectoryEdit\"=\"/games/q2/\"",
    "\"Quake3DirectoryEdit\"=\"/games/q3/\"",
    "\"GameTypeSystem\"=dword:00000001",
};
const QVariantList kFullValues = {
    QStringLiteral("relay.test"),
    QStringLiteral("Ann"),
    2500,
    QStringLiteral("Duel"),
    QStringLiteral("ctf"),
    QStringLiteral("/games/q2/"),
    QStringLiteral("/games/q3/"),
    1,
};

QByteArray setupFile(const QList<QByteArray> &lines)
{
    QByteArray text = kHeader + kSetupKey;
    for (const QByteArray &l : lines)
        text += l + '\n';
    return text;
}

} // namespace

class TestSettingsStore : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void defaultsOnFirstStart();
    void loadRules_data();
    void loadRules();
    void badValueStopsLoading_data();
    void badValueStopsLoading();
    void damagedFile_data();
    void damagedFile();
    void unreadableFile();
    void saveWritesEightTypedValues();
    void integerKeptAsText_data();
    void integerKeptAsText();
    void clampedValuesSaveClamped();
    void textRoundTrip_data();
    void textRoundTrip();
    void saveKeepsOtherContent();
    void keyNameReadsAsItIsSaved();
    void saveOverDamagedFileKeepsIt();
    void saveFailureNamesKey();
    void exportedUtf16FileLoads();
    void defaultPathFollowsXdg();
    void columnWidthParse_data();
    void columnWidthParse();
    void columnWidthsRoundTrip();
    void emptyWidthsDeleteValue();
    void columnWidthsFromDamagedFile();

private:
    void writeFile(const QByteArray &bytes);
    QByteArray readFile() const;
    RegFile parsedFile() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
};

void TestSettingsStore::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_path = m_dir->filePath(QStringLiteral("Arbelon/settings.reg"));
}

void TestSettingsStore::cleanup()
{
    m_dir.reset();
}

void TestSettingsStore::writeFile(const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    QFile f(m_path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QByteArray TestSettingsStore::readFile() const
{
    QFile f(m_path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

RegFile TestSettingsStore::parsedFile() const
{
    QString error;
    const std::optional<RegFile> file = RegFile::parse(readFile(), &error);
    if (!file)
        qWarning() << "file does not parse:" << error;
    return file.value_or(RegFile());
}

void TestSettingsStore::defaultsOnFirstStart()
{
    ClientSettings s = markers();
    SettingsStore(m_path).LoadSettings(s);
    QCOMPARE(s.serverIP, QString());
    QCOMPARE(s.userName, QString());
    QCOMPARE(s.transferRate, 3000);
    QCOMPARE(s.lastEnteredName, QString());
    QCOMPARE(s.modTypeSystem, QStringLiteral("baseq2"));
    QCOMPARE(s.gameTypeSystem, 0);
    QCOMPARE(s.quake2Dir, QDir::rootPath());
    QCOMPARE(s.quake3Dir, QDir::rootPath());
    QVERIFY2(!QFile::exists(m_path), "loading must not write anything");
}

void TestSettingsStore::loadRules_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("rate as text") << QByteArray("\"TransferRateSpin\"=\"2500\"") << "TransferRateSpin" << QVariant(2500);
    QTest::newRow("rate as non-number text") << QByteArray("\"TransferRateSpin\"=\"abc\"") << "TransferRateSpin"
                                             << QVariant(3000);
    QTest::newRow("rate empty text") << QByteArray("\"TransferRateSpin\"=\"\"") << "TransferRateSpin" << QVariant(3000);
    QTest::newRow("rate 20000 clamps") << QByteArray("\"TransferRateSpin\"=dword:00004e20") << "TransferRateSpin"
                                       << QVariant(10000);
    QTest::newRow("rate 20000 text clamps") << QByteArray("\"TransferRateSpin\"=\"20000\"") << "TransferRateSpin"
                                            << QVariant(10000);
    QTest::newRow("rate negative clamps") << QByteArray("\"TransferRateSpin\"=dword:ffffffff") << "TransferRateSpin"
                                          << QVariant(0);
    QTest::newRow("game type as text") << QByteArray("\"GameTypeSystem\"=\"1\"") << "GameTypeSystem" << QVariant(1);
    QTest::newRow("user name cut to 15")
        << QByteArray("\"UserNameEdit\"=\"abcdefghijklmnopqrst\"") << "UserNameEdit" << QVariant(QStringLiteral("abcdefghijklmno"));
    QTest::newRow("expandable string is a string")
        << QByteArray("\"ServerIP\"=hex(2):72,00,31,00,00,00") << "ServerIP" << QVariant(QStringLiteral("r1"));
    QTest::newRow("string ends at first zero")
        << QByteArray("\"ModTypeSystem\"=hex(1):61,00,00,00,62,00,00,00") << "ModTypeSystem" << QVariant(QStringLiteral("a"));
    QTest::newRow("escaped backslashes")
        << QByteArray("\"Quake2DirectoryEdit\"=\"C:\\\\Games\\\\Quake 2\\\\\"") << "Quake2DirectoryEdit"
        << QVariant(QStringLiteral("C:\\Games\\Quake 2\\"));
    QTest::newRow("escaped quotes") << QByteArray("\"LastEnteredName\"=\"say \\\"hi\\\"\"") << "LastEnteredName"
                                    << QVariant(QStringLiteral("say \"hi\""));
    QTest::newRow("value name in other case") << QByteArray("\"serverip\"=\"x\"") << "ServerIP"
                                              << QVariant(QStringLiteral("x"));
    QTest::newRow("empty directory stays empty") << QByteArray("\"Quake3DirectoryEdit\"=\"\"") << "Quake3DirectoryEdit"
                                                 << QVariant(QString());
    // Newest first, each once (in any case), the newest ten; a place with ",maximized" or none.
    QTest::newRow("recent servers") << QByteArray("\"RecentServers\"=\"a:1, b ,A:1,,c,4,5,6,7,8,9,10,11\"")
                                    << "RecentServers" << QVariant(QStringLiteral("a:1,b,c,4,5,6,7,8,9,10").split(QLatin1Char(',')));
    QTest::newRow("window geometry, maximized") << QByteArray("\"WindowGeometry\"=\"-20,40,713,433,maximized\"")
                                                << "WindowGeometry" << QVariant(QVariantList{QRect(-20, 40, 713, 433), true});
    QTest::newRow("window geometry not numbers") << QByteArray("\"WindowGeometry\"=\"10,x,713,433\"") << "WindowGeometry"
                                                 << QVariant(QVariantList{QRect(), false});
}

void TestSettingsStore::loadRules()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, name);
    QFETCH(QVariant, expected);
    writeFile(setupFile({line}));
    ClientSettings s;
    SettingsStore(m_path).LoadSettings(s);
    // A folder is kept with "/" inside the program; on Windows a stored "\" is a separator.
    if (name.endsWith(QLatin1String("DirectoryEdit")))
        expected = QDir::fromNativeSeparators(expected.toString());
    QCOMPARE(field(s, name), expected);
}

void TestSettingsStore::badValueStopsLoading_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("error");

    QTest::newRow("user name as dword") << "UserNameEdit" << QByteArray("\"UserNameEdit\"=dword:00000001")
                                        << "Invalid data type for 'UserNameEdit'";
    QTest::newRow("server as binary") << "ServerIP" << QByteArray("\"ServerIP\"=hex:31,32") << "Invalid data type for 'ServerIP'";
    QTest::newRow("rate with 5 data bytes") << "TransferRateSpin" << QByteArray("\"TransferRateSpin\"=hex:01,02,03,04,05")
                                            << "Failed to get data for 'TransferRateSpin'";
    QTest::newRow("rate as short binary") << "TransferRateSpin" << QByteArray("\"TransferRateSpin\"=hex:01,02")
                                          << "Invalid data type for 'TransferRateSpin'";
    QTest::newRow("rate as expandable string") << "TransferRateSpin"
                                               << QByteArray("\"TransferRateSpin\"=hex(2):31,00,00,00")
                                               << "Invalid data type for 'TransferRateSpin'";
    QTest::newRow("game type as qword") << "GameTypeSystem"
                                        << QByteArray("\"GameTypeSystem\"=hex(b):01,00,00,00,00,00,00,00")
                                        << "Failed to get data for 'GameTypeSystem'";
    QTest::newRow("quake 3 directory as dword") << "Quake3DirectoryEdit"
                                                << QByteArray("\"Quake3DirectoryEdit\"=dword:00000000")
                                                << "Invalid data type for 'Quake3DirectoryEdit'";
}

void TestSettingsStore::badValueStopsLoading()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, line);
    QFETCH(QString, error);

    const qsizetype bad = kLoadOrder.indexOf(name);
    QList<QByteArray> lines = kFullLines;
    lines[bad] = line;
    writeFile(setupFile(lines));

    ClientSettings s = markers();
    const ClientSettings initial = markers();
    try {
        SettingsStore(m_path).LoadSettings(s);
        QFAIL("no error raised");
    } catch (const ERegistryException &e) {
        QCOMPARE(e.message(), error);
    }
    for (qsizetype i = 0; i < kLoadOrder.size(); ++i) {
        const QString n = kLoadOrder.at(i);
        if (i < bad)
            QVERIFY2(field(s, n) == kFullValues.at(i), qPrintable(n + QStringLiteral(" not loaded")));
        else
            QVERIFY2(field(s, n) == field(initial, n), qPrintable(n + QStringLiteral(" changed after the error")));
    }

    // A plain close saves: the bad value is replaced, the ones the load never reached stay as
    // they were, and the file as it was is kept.
    const QByteArray before = readFile();
    SettingsStore store(m_path);
    try {
        store.LoadSettings(s);
    } catch (const ERegistryException &) {
    }
    store.SaveSettings(s);
    ClientSettings back = markers();
    SettingsStore(m_path).LoadSettings(back);
    for (qsizetype i = bad + 1; i < kLoadOrder.size(); ++i)
        QVERIFY2(field(back, kLoadOrder.at(i)) == kFullValues.at(i), qPrintable(kLoadOrder.at(i) + QStringLiteral(" lost")));
    QFile kept(m_path + QStringLiteral(".damaged"));
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), before);
}

void TestSettingsStore::damagedFile_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("no header") << QByteArray(kSetupKey + "\"ServerIP\"=\"x\"\n");
    QTest::newRow("line that is no value") << setupFile({"\"ServerIP\"=\"x\"", "ServerIP = x"});
    QTest::newRow("unterminated text") << setupFile({"\"ServerIP\"=\"x"});
    QTest::newRow("text then rubbish") << setupFile({"\"ServerIP\"=\"x\" y"});
    QTest::newRow("dword too long") << setupFile({"\"TransferRateSpin\"=dword:123456789"});
    QTest::newRow("dword not hex") << setupFile({"\"TransferRateSpin\"=dword:xyz"});
    QTest::newRow("bad hex byte") << setupFile({"\"ServerIP\"=hex:01,zz"});
    QTest::newRow("continuation past the end") << setupFile({"\"ServerIP\"=hex:01,\\"});
    QTest::newRow("continuation into a value") << setupFile({"\"ServerIP\"=hex:01,\\", "\"UserNameEdit\"=\"x\""});
    QTest::newRow("value before any key") << QByteArray(kHeader + "\"ServerIP\"=\"x\"\n");
    QTest::newRow("key without bracket") << QByteArray(kHeader + "[HKEY_CURRENT_USER\\Arbelon Client\\Setup\n");
    QTest::newRow("binary rubbish") << QByteArray("\x00\x01\xff\xfe\x80garbage\x00", 14);
    QTest::newRow("invalid utf-8") << QByteArray(kHeader + kSetupKey + "\"ServerIP\"=\"\xc3\x28\"\n");
    QTest::newRow("empty file") << QByteArray();
    {
        // A high surrogate without its low half is no character: the text could not be
        // saved back as it was read.
        const QString text = QString::fromLatin1(kHeader + kSetupKey + "\"ServerIP\"=\"x") + QChar(0xd800)
                             + QStringLiteral("\"\n");
        QByteArray utf16("\xff\xfe", 2);
        for (const QChar c : text) {
            utf16.append(char(c.unicode() & 0xff));
            utf16.append(char(c.unicode() >> 8));
        }
        QTest::newRow("utf-16 with a lone surrogate") << utf16;
    }
    {
        QByteArray keys = kHeader;
        for (qsizetype i = 0; i <= RegFile::kMaxKeys; ++i)
            keys += "[HKEY_CURRENT_USER\\k" + QByteArray::number(i) + "]\n";
        QTest::newRow("too many keys") << keys;
        QByteArray values = kHeader + kSetupKey;
        for (qsizetype i = 0; i <= RegFile::kMaxValues; ++i)
            values += "\"v" + QByteArray::number(i) + "\"=\"\"\n";
        QTest::newRow("too many values") << values;
        QByteArray hex = kHeader + kSetupKey + "\"blob\"=hex:";
        for (qsizetype i = 0; i <= RegFile::kMaxHexBytes; i += 16)
            hex += "00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,\\\n";
        QTest::newRow("value data over 64 KiB") << hex + "00\n";
    }
    QTest::newRow("too large") << QByteArray(kHeader + kSetupKey + "; " + QByteArray(RegFile::kMaxFileSize, 'x') + '\n');
}

void TestSettingsStore::damagedFile()
{
    QFETCH(QByteArray, bytes);
    writeFile(bytes);
    ClientSettings s = markers();
    try {
        SettingsStore(m_path).LoadSettings(s);
        QFAIL("no error raised");
    } catch (const ERegistryException &e) {
        QVERIFY2(e.message().contains(QDir::toNativeSeparators(m_path)), qPrintable(e.message()));
        QVERIFY2(e.message().contains(QLatin1String("damaged")), qPrintable(e.message()));
    }
    for (const QString &n : kLoadOrder)
        QCOMPARE(field(s, n), field(markers(), n));
}

void TestSettingsStore::unreadableFile()
{
    // A folder where the file should be cannot be read as settings.
    QVERIFY(QDir().mkpath(m_path));
    ClientSettings s = markers();
    QVERIFY_THROWS_EXCEPTION(ERegistryException, SettingsStore(m_path).LoadSettings(s));
    QCOMPARE(s.serverIP, markers().serverIP);
}

void TestSettingsStore::saveWritesEightTypedValues()
{
    ClientSettings s;
    s.serverIP = QStringLiteral("relay.test");
    s.userName = QStringLiteral("Ann");
    s.transferRate = 3000;
    s.lastEnteredName = QStringLiteral("Duel");
    s.modTypeSystem = QStringLiteral("ctf");
    s.gameTypeSystem = 1;
    s.quake2Dir = QStringLiteral("/games/q2/");
    s.quake3Dir = QString();
    s.quake3Engine = QStringLiteral("openarena");
    s.quake3DemoExtension = QStringLiteral(".dm_68");
    s.recentServers = {QStringLiteral("relay.test"), QStringLiteral("10.0.0.2:27000")};
    s.windowGeometry = QRect(30, 40, 713, 433);
    SettingsStore(m_path).SaveSettings(s);

    const QByteArray expected = kHeader
                                + "[HKEY_CURRENT_USER\\Arbelon Client]\n\n"
                                  "[HKEY_CURRENT_USER\\Arbelon Client\\Setup]\n"
                                  "\"ServerIP\"=\"relay.test\"\n"
                                  "\"UserNameEdit\"=\"Ann\"\n"
                                  "\"TransferRateSpin\"=dword:00000bb8\n"
                                  "\"LastEnteredName\"=\"Duel\"\n"
                                  "\"ModTypeSystem\"=\"ctf\"\n"
                                  "\"GameTypeSystem\"=dword:00000001\n"
                                  "\"Quake2DirectoryEdit\"=\""
                                + QDir::toNativeSeparators(QStringLiteral("/games/q2/")).toUtf8().replace("\\", "\\\\") + "\"\n"
                                                                                                                          "\"Quake3DirectoryEdit\"=\"\"\n"
                                                                                                                          "\"Quake2Engine\"=\"quake2\"\n"
                                                                                                                          "\"Quake3Engine\"=\"openarena\"\n"
                                                                                                                          "\"Quake2ProgramEdit\"=\"\"\n"
                                                                                                                          "\"Quake3ProgramEdit\"=\"\"\n"
                                                                                                                          "\"Quake3DemoExtension\"=\".dm_68\"\n"
                                                                                                                          "\"FollowDemos\"=dword:00000001\n"
                                                                                                                          "\"RecentServers\"=\"relay.test,10.0.0.2:27000\"\n"
                                                                                                                          "\"WindowGeometry\"=\"30,40,713,433\"\n\n";
    QCOMPARE(readFile(), expected);

    ClientSettings back = markers();
    SettingsStore(m_path).LoadSettings(back);
    for (const QString &n : kLoadOrder)
        QCOMPARE(field(back, n), field(s, n));
    QCOMPARE(back.quake3Engine, s.quake3Engine);
    QCOMPARE(back.quake3DemoExtension, s.quake3DemoExtension);
    QCOMPARE(back.recentServers, s.recentServers);
    QCOMPARE(back.windowGeometry, s.windowGeometry);
}

void TestSettingsStore::integerKeptAsText_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<bool>("loadFails");
    QTest::addColumn<int>("loaded");
    QTest::addColumn<quint32>("savedType");
    QTest::addColumn<QString>("savedText");

    QTest::newRow("text 2500 stays text") << QByteArray("\"TransferRateSpin\"=\"2500\"") << false << 2500 << quint32(RegValue::Sz)
                                          << "2500";
    QTest::newRow("text abc becomes text 3000")
        << QByteArray("\"TransferRateSpin\"=\"abc\"") << false << 3000 << quint32(RegValue::Sz) << "3000";
    QTest::newRow("dword stays dword") << QByteArray("\"TransferRateSpin\"=dword:000009c4") << false << 2500
                                       << quint32(RegValue::Dword) << QString();
    // Not readable as an integer (the load stops there), but only plain text keeps its type.
    QTest::newRow("expandable string becomes dword")
        << QByteArray("\"TransferRateSpin\"=hex(2):00,00") << true << 3000 << quint32(RegValue::Dword) << QString();
}

void TestSettingsStore::integerKeptAsText()
{
    QFETCH(QByteArray, stored);
    QFETCH(bool, loadFails);
    QFETCH(int, loaded);
    QFETCH(quint32, savedType);
    QFETCH(QString, savedText);

    writeFile(setupFile({stored}));
    const SettingsStore store(m_path);
    ClientSettings s;
    if (loadFails) {
        QVERIFY_THROWS_EXCEPTION(ERegistryException, store.LoadSettings(s));
        QCOMPARE(s.transferRate, loaded);
    } else {
        store.LoadSettings(s);
        QCOMPARE(s.transferRate, loaded);
    }
    store.SaveSettings(s);

    const std::optional<RegValue> v =
        parsedFile().value(QStringLiteral("HKEY_CURRENT_USER\\Arbelon Client\\Setup"), QStringLiteral("TransferRateSpin"));
    QVERIFY(v);
    QCOMPARE(v->type, savedType);
    if (savedType == RegValue::Sz)
        QCOMPARE(v->text(), savedText);
    else
        QCOMPARE(qint32(v->dword()), loaded);
}

void TestSettingsStore::clampedValuesSaveClamped()
{
    writeFile(setupFile({"\"TransferRateSpin\"=dword:00004e20"}));
    const SettingsStore store(m_path);
    ClientSettings s;
    store.LoadSettings(s);
    store.SaveSettings(s);
    const std::optional<RegValue> v =
        parsedFile().value(QStringLiteral("HKEY_CURRENT_USER\\Arbelon Client\\Setup"), QStringLiteral("TransferRateSpin"));
    QVERIFY(v);
    QCOMPARE(v->dword(), 10000u);
}

void TestSettingsStore::textRoundTrip_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("plain") << QStringLiteral("relay.example.org");
    QTest::newRow("quotes") << QStringLiteral("a \"quoted\" name");
    QTest::newRow("backslashes") << QStringLiteral("C:\\Games\\Quake 2\\");
    QTest::newRow("ends with backslash quote") << QStringLiteral("x\\\"");
    QTest::newRow("line breaks") << QStringLiteral("two\nlines\r\n");
    QTest::newRow("non-latin") << QStringLiteral("Игрок ☺");
    QTest::newRow("empty") << QString();
    QTest::newRow("brackets and equals") << QStringLiteral("[x]=\"y\"");
    QTest::newRow("leading and trailing blanks") << QStringLiteral("  padded  ");
}

void TestSettingsStore::textRoundTrip()
{
    QFETCH(QString, text);
    ClientSettings s;
    s.serverIP = text;
    s.lastEnteredName = text;
    s.quake2Dir = text;
    const SettingsStore store(m_path);
    store.SaveSettings(s);
    ClientSettings back = markers();
    store.LoadSettings(back);
    QCOMPARE(back.serverIP, text);
    QCOMPARE(back.lastEnteredName, text);
    QCOMPARE(back.quake2Dir, QDir::fromNativeSeparators(text));
}

void TestSettingsStore::saveKeepsOtherContent()
{
    QByteArray longHex = "\"Blob\"=hex:";
    QByteArray blob;
    for (int i = 0; i < 100; ++i) {
        blob.append(char(i * 7));
        longHex += QByteArray::number(quint8(i * 7), 16).rightJustified(2, '0') + (i < 99 ? "," : "");
        if (i == 40)
            longHex += "\\\n  ";
    }
    writeFile(kHeader + kSetupKey + "\"ServerIP\"=\"old\"\n\"Extra\"=dword:0000002a\n\n"
              + "[HKEY_CURRENT_USER\\Software\\Other]\n" + longHex + "\n@=\"default\"\n");

    ClientSettings s;
    s.serverIP = QStringLiteral("new");
    SettingsStore(m_path).SaveSettings(s);

    const RegFile f = parsedFile();
    const QString setup = QStringLiteral("HKEY_CURRENT_USER\\Arbelon Client\\Setup");
    const QString other = QStringLiteral("HKEY_CURRENT_USER\\Software\\Other");
    QCOMPARE(f.value(setup, QStringLiteral("ServerIP"))->text(), QStringLiteral("new"));
    QCOMPARE(f.value(setup, QStringLiteral("Extra"))->dword(), 42u);
    QVERIFY(f.value(other, QStringLiteral("Blob")));
    QCOMPARE(f.value(other, QStringLiteral("Blob"))->type, quint32(RegValue::Binary));
    QCOMPARE(f.value(other, QStringLiteral("Blob"))->data, blob);
    QCOMPARE(f.value(other, QString())->text(), QStringLiteral("default"));
}

void TestSettingsStore::keyNameReadsAsItIsSaved()
{
    // The blank before a dropped final backslash goes too, as it does when the key is written
    // out and read again.
    writeFile(kHeader + "[HKEY_CURRENT_USER\\Software\\Blank \\]\n\"x\"=\"y\"\n");
    const QString key = QStringLiteral("HKEY_CURRENT_USER\\Software\\Blank");
    QVERIFY(parsedFile().value(key, QStringLiteral("x")));
    SettingsStore(m_path).SaveSettings(ClientSettings());
    QVERIFY(parsedFile().value(key, QStringLiteral("x")));
    QCOMPARE(parsedFile().value(key, QStringLiteral("x"))->text(), QStringLiteral("y"));
}

void TestSettingsStore::saveOverDamagedFileKeepsIt()
{
    // Each damaged file is kept, the newest as ".damaged"; past the bound the oldest goes.
    const int copies = FileHive::kMaxDamagedCopies;
    for (int round = 1; round <= copies + 2; ++round) {
        writeFile("this is not a settings file, round " + QByteArray::number(round) + '\n');
        ClientSettings s;
        s.userName = QStringLiteral("Ann");
        SettingsStore(m_path).SaveSettings(s);
        ClientSettings back;
        SettingsStore(m_path).LoadSettings(back);
        QCOMPARE(back.userName, QStringLiteral("Ann"));
    }
    for (int n = 1; n <= copies + 1; ++n) {
        QFile kept(m_path + QStringLiteral(".damaged") + (n > 1 ? QStringLiteral(".%1").arg(n) : QString()));
        if (n > copies) {
            QVERIFY2(!kept.exists(), "more copies kept than the bound");
            continue;
        }
        QVERIFY2(kept.open(QIODevice::ReadOnly), qPrintable(kept.fileName()));
        QCOMPARE(kept.readAll(), "this is not a settings file, round " + QByteArray::number(copies + 3 - n) + '\n');
    }
}

void TestSettingsStore::saveFailureNamesKey()
{
    // The settings folder cannot be made: a file stands where it should be.
    QFile blocker(m_dir->filePath(QStringLiteral("Arbelon")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    try {
        SettingsStore(m_path).SaveSettings(ClientSettings());
        QFAIL("no error raised");
    } catch (const ERegistryException &e) {
        QCOMPARE(e.message().section(QLatin1Char('\n'), 0, 0), QStringLiteral("Failed to create key Arbelon Client\\Setup"));
    }
    try {
        SettingsStore(m_path).writeColumnWidths({50});
        QFAIL("no error raised");
    } catch (const ERegistryException &e) {
        QCOMPARE(e.message().section(QLatin1Char('\n'), 0, 0), QStringLiteral("Failed to create key Arbelon\\Common"));
    }
}

void TestSettingsStore::exportedUtf16FileLoads()
{
    // What the registry editor exports: UTF-16LE with a byte-order mark and CR LF line ends.
    const QString text = QStringLiteral("Windows Registry Editor Version 5.00\r\n\r\n"
                                        "[HKEY_CURRENT_USER\\Arbelon Client\\Setup]\r\n"
                                        "\"UserNameEdit\"=\"Jörg\"\r\n"
                                        "\"TransferRateSpin\"=dword:00000064\r\n");
    QByteArray bytes("\xFF\xFE");
    for (const QChar c : text) {
        bytes.append(char(c.unicode() & 0xFF));
        bytes.append(char(c.unicode() >> 8));
    }
    writeFile(bytes);
    ClientSettings s;
    SettingsStore(m_path).LoadSettings(s);
    QCOMPARE(s.userName, QStringLiteral("Jörg"));
    QCOMPARE(s.transferRate, 100);
}

void TestSettingsStore::defaultPathFollowsXdg()
{
#ifdef Q_OS_WIN
    QSKIP("the settings file follows XDG_CONFIG_HOME only where there is no registry");
#else
    const QByteArray old = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", m_dir->path().toLocal8Bit());
    const QString path = SettingsStore::defaultFilePath();
    const SettingsStore store;
    qputenv("XDG_CONFIG_HOME", old);
    QCOMPARE(path, m_dir->filePath(QStringLiteral("Arbelon/settings.reg")));
    QCOMPARE(store.filePath(), path);
#endif
}

void TestSettingsStore::columnWidthParse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<int>>("widths");
    QTest::newRow("designed") << "50,200,70,70,50" << QList<int>{50, 200, 70, 70, 50};
    QTest::newRow("six") << "60,210,80,80,60,40" << QList<int>{60, 210, 80, 80, 60, 40};
    QTest::newRow("empty") << "" << QList<int>{};
    QTest::newRow("word keeps its column") << "60,abc,80" << QList<int>{60, -1, 80};
    QTest::newRow("empty piece") << "60,,80" << QList<int>{60, -1, 80};
    QTest::newRow("blanks around") << " 70 , 80" << QList<int>{70, 80};
    QTest::newRow("negative and huge") << "-5,20000,0" << QList<int>{-1, -1, 0};
    QTest::newRow("overflowing number") << "99999999999999999999" << QList<int>{-1};
    QTest::newRow("hex is not decimal") << "0x10" << QList<int>{-1};
    QString many;
    for (int i = 0; i < 1000; ++i)
        many += QStringLiteral("10,");
    QTest::newRow("too many pieces") << many << QList<int>(SettingsStore::kMaxColumns, 10);
}

void TestSettingsStore::columnWidthParse()
{
    QFETCH(QString, text);
    QFETCH(QList<int>, widths);
    QCOMPARE(SettingsStore::parseColumnWidths(text), widths);
}

void TestSettingsStore::columnWidthsRoundTrip()
{
    const SettingsStore store(m_path);
    store.writeColumnWidths({60, 210, 80, 80, 60, 40});
    QVERIFY(readFile().contains("[HKEY_CURRENT_USER\\Arbelon\\Common]\n\"GamesListBoxClient\"=\"60,210,80,80,60,40\"\n"));
    QCOMPARE(store.readColumnWidths(), (QList<int>{60, 210, 80, 80, 60, 40}));

    // Store 1 and store 2 share the file without disturbing each other.
    ClientSettings s;
    s.userName = QStringLiteral("Ann");
    store.SaveSettings(s);
    QCOMPARE(store.readColumnWidths(), (QList<int>{60, 210, 80, 80, 60, 40}));
    store.writeColumnWidths({1, 2});
    ClientSettings back;
    store.LoadSettings(back);
    QCOMPARE(back.userName, QStringLiteral("Ann"));
}

void TestSettingsStore::emptyWidthsDeleteValue()
{
    const SettingsStore store(m_path);
    store.writeColumnWidths({50, 60});
    store.writeColumnWidths({});
    QVERIFY(!readFile().contains("GamesListBoxClient"));
    QCOMPARE(store.readColumnWidths(), QList<int>());
}

void TestSettingsStore::columnWidthsFromDamagedFile()
{
    writeFile("not a settings file");
    QCOMPARE(SettingsStore(m_path).readColumnWidths(), QList<int>());
    writeFile(kHeader + "[HKEY_CURRENT_USER\\Arbelon\\Common]\n\"GamesListBoxClient\"=dword:00000032\n");
    QCOMPARE(SettingsStore(m_path).readColumnWidths(), QList<int>());
}

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
