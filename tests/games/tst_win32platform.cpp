// The Windows platform layer against real Windows objects: windows found by exact title,
// processes by image path, files shared with a writing game, a console log that cannot be
// deleted while held, device names and reparse points refused, and the registry with its
// value types. Runs on Windows (CI: under Wine).
#include "consolelogreader.h"
#include "processfinder.h"
#include "regularfile.h"
#include "settingsstore.h"
#include "viewerdemofile.h"
#include "windowfinder.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <windows.h>
#include <winioctl.h>

using namespace arbelon;

namespace {

const wchar_t *kSetupKey = L"Arbelon Client\\Setup";

// A hidden top-level window with that title, for as long as the object lives.
class TitledWindow {
public:
    explicit TitledWindow(const QString &title)
        : m_hwnd(CreateWindowExW(0, L"STATIC", reinterpret_cast<const wchar_t *>(title.utf16()), WS_POPUP, 0, 0,
                                 10, 10, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr))
    {
    }
    ~TitledWindow()
    {
        if (m_hwnd)
            DestroyWindow(m_hwnd);
    }
    bool made() const { return m_hwnd != nullptr; }

private:
    HWND m_hwnd;
};

// The registry value's type as Windows keeps it; 0 when it is missing.
DWORD valueType(const wchar_t *key, const wchar_t *name, QByteArray *data = nullptr)
{
    DWORD type = 0;
    DWORD size = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr, &size) != ERROR_SUCCESS)
        return 0;
    if (data) {
        data->resize(qsizetype(size));
        RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY | RRF_NOEXPAND, &type, data->data(), &size);
    }
    return type;
}

void setRaw(const wchar_t *name, DWORD type, const QByteArray &bytes)
{
    HKEY h = nullptr;
    QCOMPARE(RegCreateKeyExW(HKEY_CURRENT_USER, kSetupKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h, nullptr),
             LSTATUS(ERROR_SUCCESS));
    QCOMPARE(RegSetValueExW(h, name, 0, type, reinterpret_cast<const BYTE *>(bytes.constData()), DWORD(bytes.size())),
             LSTATUS(ERROR_SUCCESS));
    RegCloseKey(h);
}

QByteArray utf16z(const QString &text)
{
    QByteArray b(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
    b.append(2, '\0');
    return b;
}

// A directory junction at link pointing to target, made as mklink /J does. False where the
// file system (or Wine) cannot make one.
bool makeJunction(const QString &link, const QString &target)
{
    if (!CreateDirectoryW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(link).utf16()), nullptr))
        return false;
    HANDLE h = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(link).utf16()), GENERIC_WRITE, 0,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const std::wstring substitute = L"\\??\\" + QDir::toNativeSeparators(target).toStdWString();
    const std::wstring print = QDir::toNativeSeparators(target).toStdWString();
    // REPARSE_DATA_BUFFER's mount point form, laid out by hand (mingw does not declare it).
    QByteArray buffer(16 + int((substitute.size() + print.size() + 2) * 2), '\0');
    auto put16 = [&](int at, quint16 v) { memcpy(buffer.data() + at, &v, 2); };
    const quint32 tag = IO_REPARSE_TAG_MOUNT_POINT;
    memcpy(buffer.data(), &tag, 4);
    put16(4, quint16(buffer.size() - 8));
    put16(8, 0);
    put16(10, quint16(substitute.size() * 2));
    put16(12, quint16(substitute.size() * 2 + 2));
    put16(14, quint16(print.size() * 2));
    memcpy(buffer.data() + 16, substitute.data(), substitute.size() * 2);
    memcpy(buffer.data() + 16 + substitute.size() * 2 + 2, print.data(), print.size() * 2);
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buffer.data(), DWORD(buffer.size()), nullptr, 0,
                                    &returned, nullptr);
    CloseHandle(h);
    return ok && (GetFileAttributesW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(link).utf16())) & FILE_ATTRIBUTE_REPARSE_POINT);
}

} // namespace

class TestWin32Platform : public QObject {
    Q_OBJECT
private slots:
    void windowByExactTitle_data();
    void windowByExactTitle();
    void processByImagePath();
    void fileReadWhileGameWrites();
    void heldConsoleLogCannotBeDeleted_data();
    void heldConsoleLogCannotBeDeleted();
    void deviceNamesAreNotFiles_data();
    void deviceNamesAreNotFiles();
    void demoPathBeyondMaxPath();
    void junctionRefused();
    void registryKeepsTypes();
    void registryWrongTypes_data();
    void registryWrongTypes();
};

void TestWin32Platform::windowByExactTitle_data()
{
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QByteArray>("asked");
    QTest::addColumn<bool>("found");
    QTest::newRow("Quake 3's title") << QStringLiteral("Quake 3: Arena") << QByteArray("Quake 3: Arena") << true;
    QTest::newRow("Quake 2's title") << QStringLiteral("Quake 2") << QByteArray("Quake 2") << true;
    QTest::newRow("other case") << QStringLiteral("quake 2") << QByteArray("Quake 2") << false;
    QTest::newRow("longer title") << QStringLiteral("Quake 2 launcher") << QByteArray("Quake 2") << false;
    QTest::newRow("non-Latin title") << QStringLiteral("Quäke 2 – ☃") << QByteArray("Quäke 2 – ☃") << true;
}

void TestWin32Platform::windowByExactTitle()
{
    QFETCH(QString, shown);
    QFETCH(QByteArray, asked);
    QFETCH(bool, found);
    const auto finder = WindowFinder::create();
    QVERIFY(finder->reachable());
    QCOMPARE(finder->topLevelWindowExists(WindowMatch{asked, {}}), std::optional<bool>(false));
    TitledWindow window(shown);
    QVERIFY(window.made());
    QCOMPARE(finder->topLevelWindowExists(WindowMatch{asked, {}}), std::optional<bool>(found));
    // The class name of the window matches too, in any case.
    QCOMPARE(finder->topLevelWindowExists(WindowMatch{{}, {QByteArray("static")}}), std::optional<bool>(true));
}

void TestWin32Platform::processByImagePath()
{
    QTemporaryDir dir;
    const QString program = dir.filePath(QStringLiteral("quake3.exe"));
    QVERIFY(QFile::copy(QString::fromLocal8Bit(qgetenv("ARBELON_BIN_DIR")) + QStringLiteral("/arbelon-standin-game.exe"),
                        program));
    QVERIFY(!processRunning(QStringLiteral("quake3.exe")));
    QProcess game;
    game.setProgram(program);
    game.setArguments({QStringLiteral("--no-window"), QStringLiteral("--linger"), QStringLiteral("-1")});
    game.setProcessChannelMode(QProcess::ForwardedChannels);
    game.start();
    QVERIFY(game.waitForStarted(20000));
    QTRY_VERIFY_WITH_TIMEOUT(processRunning(QStringLiteral("QUAKE3.EXE")), 20000);
    QVERIFY(processRunning(program));
    QVERIFY(processRunning(QDir::toNativeSeparators(program)));
    QVERIFY(!processRunning(dir.filePath(QStringLiteral("other/quake3.exe"))));
    QVERIFY(!processRunning(QStringLiteral("quake2.exe")));
    game.kill();
    QVERIFY(game.waitForFinished(20000));
    QTRY_VERIFY_WITH_TIMEOUT(!processRunning(QStringLiteral("quake3.exe")), 20000);
}

void TestWin32Platform::fileReadWhileGameWrites()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("demo.dm_68"));
    // The game opens its demo as the C runtime does: shared for reading and writing.
    HANDLE game = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    QVERIFY(game != INVALID_HANDLE_VALUE);
    DWORD written = 0;
    QVERIFY(WriteFile(game, "first", 5, &written, nullptr));
    QFile reader;
    QCOMPARE(openRegularForReading(reader, path, QIODevice::Unbuffered), RegularOpen::Opened);
    QCOMPARE(reader.readAll(), QByteArray("first"));
    QVERIFY(WriteFile(game, "second", 6, &written, nullptr));
    QCOMPARE(reader.readAll(), QByteArray("second"));
    // A second writer of the game's may come while the client holds the file.
    HANDLE again = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                               GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    QVERIFY(again != INVALID_HANDLE_VALUE);
    CloseHandle(again);
    // The identity of the open file and of its name agree; another file's does not.
    QVERIFY(fileIdentity(reader).has_value());
    QCOMPARE(fileIdentity(reader), fileIdentity(path));
    QFile other(dir.filePath(QStringLiteral("other")));
    QVERIFY(other.open(QIODevice::WriteOnly));
    other.close();
    QVERIFY(fileIdentity(other.fileName()) != fileIdentity(path));
    CloseHandle(game);
}

void TestWin32Platform::heldConsoleLogCannotBeDeleted_data()
{
    QTest::addColumn<int>("sharing");
    QTest::addColumn<bool>("deletable");
    QTest::newRow("console log") << int(Sharing::KeepFromDeletion) << false;
    QTest::newRow("demo file") << int(Sharing::Deletable) << true;
}

void TestWin32Platform::heldConsoleLogCannotBeDeleted()
{
    QFETCH(int, sharing);
    QFETCH(bool, deletable);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("qconsole.log"));
    QFile log(path);
    QVERIFY(log.open(QIODevice::WriteOnly));
    log.write("line\r\n");
    log.close();
    QFile held;
    QCOMPARE(openRegularForReading(held, path, {}, nullptr, Sharing(sharing)), RegularOpen::Opened);
    const BOOL deleted = DeleteFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()));
    QCOMPARE(bool(deleted), deletable);
    if (!deletable)
        QCOMPARE(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    held.close();

    // The reader the Filmer uses holds its log the same way.
    if (!deletable) {
        ConsoleLogReader reader;
        QVERIFY(reader.open(path));
        QVERIFY(!QFile::remove(path));
        QVERIFY(!reader.replaced());
        reader.close();
        QVERIFY(QFile::remove(path));
    }
}

void TestWin32Platform::deviceNamesAreNotFiles_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("CON") << QStringLiteral("CON");
    QTest::newRow("NUL") << QStringLiteral("NUL");
    QTest::newRow("NUL with a demo extension") << QStringLiteral("nul.dm_68");
    QTest::newRow("aux.dm2") << QStringLiteral("aux.dm2");
    QTest::newRow("COM1") << QStringLiteral("COM1");
}

void TestWin32Platform::deviceNamesAreNotFiles()
{
    QFETCH(QString, name);
    QTemporaryDir dir;
    QFile file;
    QString why;
    const RegularOpen result = openRegularForReading(file, dir.filePath(name), {}, &why);
    QVERIFY2(result != RegularOpen::Opened, qPrintable(name));
    QVERIFY(!file.isOpen());
}

void TestWin32Platform::demoPathBeyondMaxPath()
{
    QTemporaryDir dir;
    const QString gameDir = dir.path() + QLatin1Char('/');
    QString deep = gameDir + QStringLiteral("baseq3/demos/");
    while (deep.size() < MAX_PATH + 10)
        deep += QStringLiteral("folder/");
    ViewerDemoFile file;
    try {
        file.create(deep + QStringLiteral("GAME.dm_68"), gameDir);
        QFAIL("a path the game cannot open was created");
    } catch (const EDemoFileError &e) {
        QVERIFY2(QString::fromUtf8(e.what()).contains(QStringLiteral("longer than")), e.what());
    }
    QVERIFY(!QFileInfo::exists(gameDir + QStringLiteral("baseq3")));
}

void TestWin32Platform::junctionRefused()
{
    QTemporaryDir dir;
    QTemporaryDir elsewhere;
    const QString gameDir = dir.path() + QLatin1Char('/');
    QVERIFY(QDir().mkpath(gameDir + QStringLiteral("baseq3")));
    if (!makeJunction(gameDir + QStringLiteral("baseq3/demos"), elsewhere.path()))
        QSKIP("this file system cannot make a junction");
    QVERIFY(crossesReparsePoint(gameDir, gameDir + QStringLiteral("baseq3/demos/GAME.dm_68")));
    QVERIFY(!crossesReparsePoint(gameDir, gameDir + QStringLiteral("baseq3/other/GAME.dm_68")));
    ViewerDemoFile file;
    QVERIFY_THROWS_EXCEPTION(EDemoFileError, file.create(gameDir + QStringLiteral("baseq3/demos/GAME.dm_68"), gameDir));
    QVERIFY(QDir(elsewhere.path()).isEmpty());
}

void TestWin32Platform::registryKeepsTypes()
{
    if (qEnvironmentVariableIsEmpty("ARBELON_TEST_REGISTRY"))
        QSKIP("writes the user's own settings; set ARBELON_TEST_REGISTRY=1 in a prefix of its own");
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Arbelon Client");
    SettingsStore store;
    QVERIFY(store.filePath().isEmpty());
    ClientSettings first;
    store.LoadSettings(first);
    QCOMPARE(first.transferRate, 3000);
    QCOMPARE(first.quake3Dir, QDir::rootPath());

    ClientSettings s = first;
    s.serverIP = QStringLiteral("@relay.example");
    s.userName = QStringLiteral("Zoë");
    s.transferRate = 2500;
    s.gameTypeSystem = 1;
    s.quake3Dir = QStringLiteral("C:/Games/Quake III Arena/");
    store.SaveSettings(s);

    QByteArray data;
    QCOMPARE(valueType(kSetupKey, L"ServerIP", &data), DWORD(REG_SZ));
    QCOMPARE(data, utf16z(QStringLiteral("@relay.example")));
    QCOMPARE(valueType(kSetupKey, L"TransferRateSpin", &data), DWORD(REG_DWORD));
    QCOMPARE(data, QByteArray::fromHex("c4090000"));
    QCOMPARE(valueType(kSetupKey, L"GameTypeSystem"), DWORD(REG_DWORD));
    QCOMPARE(valueType(kSetupKey, L"Quake3DirectoryEdit", &data), DWORD(REG_SZ));
    QCOMPARE(data, utf16z(QStringLiteral("C:\\Games\\Quake III Arena\\")));

    ClientSettings back;
    store.LoadSettings(back);
    QCOMPARE(back.serverIP, s.serverIP);
    QCOMPARE(back.userName, s.userName);
    QCOMPARE(back.transferRate, 2500);
    QCOMPARE(back.quake3Dir, s.quake3Dir);

    // An integer kept as text stays text.
    setRaw(L"TransferRateSpin", REG_SZ, utf16z(QStringLiteral("1200")));
    store.LoadSettings(back);
    QCOMPARE(back.transferRate, 1200);
    store.SaveSettings(back);
    QCOMPARE(valueType(kSetupKey, L"TransferRateSpin", &data), DWORD(REG_SZ));
    QCOMPARE(data, utf16z(QStringLiteral("1200")));

    store.writeColumnWidths({60, 210, 80, 80, 60});
    QCOMPARE(valueType(L"Arbelon\\Common", L"GamesListBoxClient", &data), DWORD(REG_SZ));
    QCOMPARE(store.readColumnWidths(), (QList<int>{60, 210, 80, 80, 60}));
}

void TestWin32Platform::registryWrongTypes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("error");
    QTest::newRow("REG_BINARY rate") << QStringLiteral("TransferRateSpin") << int(REG_BINARY)
                                     << QByteArray::fromHex("c409") << QStringLiteral("Invalid data type for 'TransferRateSpin'");
    QTest::newRow("big-endian rate") << QStringLiteral("TransferRateSpin") << int(REG_DWORD_BIG_ENDIAN)
                                     << QByteArray::fromHex("000009c4") << QStringLiteral("Invalid data type for 'TransferRateSpin'");
    QTest::newRow("REG_QWORD rate") << QStringLiteral("TransferRateSpin") << int(REG_QWORD)
                                    << QByteArray::fromHex("c409000000000000") << QStringLiteral("Failed to get data for 'TransferRateSpin'");
    QTest::newRow("REG_BINARY name") << QStringLiteral("UserNameEdit") << int(REG_BINARY)
                                     << QByteArray("v\0i\0c\0\0\0", 8) << QStringLiteral("Invalid data type for 'UserNameEdit'");
    QTest::newRow("REG_NONE server") << QStringLiteral("ServerIP") << int(REG_NONE)
                                     << QByteArray() << QStringLiteral("Invalid data type for 'ServerIP'");
}

void TestWin32Platform::registryWrongTypes()
{
    QFETCH(QString, name);
    QFETCH(int, type);
    QFETCH(QByteArray, data);
    QFETCH(QString, error);
    if (qEnvironmentVariableIsEmpty("ARBELON_TEST_REGISTRY"))
        QSKIP("writes the user's own settings; set ARBELON_TEST_REGISTRY=1 in a prefix of its own");
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Arbelon Client");
    setRaw(reinterpret_cast<const wchar_t *>(name.utf16()), DWORD(type), data);
    SettingsStore store;
    ClientSettings s;
    s.transferRate = 0;
    try {
        store.LoadSettings(s);
        QFAIL("a value of the wrong type was read");
    } catch (const ERegistryException &e) {
        QCOMPARE(e.message(), error);
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Arbelon Client");
}

QTEST_GUILESS_MAIN(TestWin32Platform)
#include "tst_win32platform.moc"
