// The settings file reader: any bytes give a file or an error with a reason, never a crash
// or a hang; a file that reads is saved and read back without losing anything; and the
// settings read from it are written and read back unchanged.

#include "fuzzsupport.h"
#include "regfile.h"
#include "settingsstore.h"

#include <QFile>
#include <QTemporaryDir>

using namespace arbelon;
using arbelon::fuzz::fail;

namespace {

const QString kSetupKey = QStringLiteral("HKEY_CURRENT_USER\\Arbelon Client\\Setup");

QString describe(const ClientSettings &s)
{
    return QStringList{s.serverIP, s.userName, QString::number(s.transferRate), s.lastEnteredName,
                       s.modTypeSystem, QString::number(s.gameTypeSystem), s.quake2Dir, s.quake3Dir}
        .join(QLatin1Char('|'));
}

// True when the bytes read as a file.
bool checkRoundTrip(const QByteArray &bytes)
{
    QString error;
    const std::optional<RegFile> file = RegFile::parse(bytes, &error);
    if (!file) {
        if (error.isEmpty())
            fail(QStringLiteral("a refused file without a reason"));
        return false;
    }
    const QByteArray saved = file->serialize();
    if (saved.size() > RegFile::kMaxFileSize)
        return true; // escapes may grow a file past what the reader takes; not a loss of data
    QString again;
    const std::optional<RegFile> reread = RegFile::parse(saved, &again);
    if (!reread)
        fail(QStringLiteral("a saved file does not read back: ") + again);
    if (reread->serialize() != saved)
        fail(QStringLiteral("a saved file reads back different"));
    // The lookups the settings use never fail on what was read.
    (void)reread->value(kSetupKey, QStringLiteral("ServerIP"));
    return true;
}

void checkSettings(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        fail(QStringLiteral("cannot write the scratch file"));
    f.close();

    const SettingsStore store(path);
    const QList<int> widths = store.readColumnWidths();
    if (widths.size() > SettingsStore::kMaxColumns)
        fail(QStringLiteral("more column widths than columns"));
    for (const int w : widths) {
        if (w != -1 && (w < 0 || w > SettingsStore::kMaxColumnWidth))
            fail(QStringLiteral("a column width out of range"));
    }

    ClientSettings first;
    try {
        store.LoadSettings(first);
    } catch (const ERegistryException &) {
        return; // a damaged or mistyped file is reported to the user
    }
    if (first.userName.size() > ClientSettings::kMaxUserName)
        fail(QStringLiteral("a user name longer than the field"));
    if (first.transferRate < 0 || first.transferRate > ClientSettings::kMaxTransferRate)
        fail(QStringLiteral("a transfer rate out of range"));

    // What was read is saved and read back the same.
    try {
        store.SaveSettings(first);
    } catch (const ERegistryException &e) {
        fail(QStringLiteral("cannot save what was read: ") + e.message());
    }
    ClientSettings second;
    try {
        store.LoadSettings(second);
    } catch (const ERegistryException &e) {
        fail(QStringLiteral("cannot read what was saved: ") + e.message());
    }
    if (describe(first) != describe(second))
        fail(QStringLiteral("settings changed by a save: ") + describe(first) + QStringLiteral(" -> ")
             + describe(second));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir scratch;
    if (!scratch.isValid())
        fail(QStringLiteral("no scratch folder"));
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    // A file that does not read is refused the same way by the store; only readable ones
    // go on to the typed values (reading the store costs far more than parsing).
    if (checkRoundTrip(bytes))
        checkSettings(scratch.filePath(QStringLiteral("settings.reg")), bytes);
    return 0;
}
