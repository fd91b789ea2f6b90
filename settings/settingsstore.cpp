#include "settingsstore.h"

#include "registryhive.h"

#include <QDir>
#include <QStandardPaths>
#include <QStringList>

namespace arbelon {

namespace {

const QString kSetup = QString::fromLatin1(SettingsStore::kSetupKey);
const QString kTopKey = QStringLiteral("Arbelon Client");
const QString kCommon = QString::fromLatin1(SettingsStore::kCommonKey);
const QString kCommonTop = QStringLiteral("Arbelon");
const QString kWidthsValue = QStringLiteral("GamesListBoxClient");

// One name per value, as the controls and fields they fill are called.
const QString kServerIP = QStringLiteral("ServerIP");
const QString kUserName = QStringLiteral("UserNameEdit");
const QString kTransferRate = QStringLiteral("TransferRateSpin");
const QString kLastEnteredName = QStringLiteral("LastEnteredName");
const QString kModType = QStringLiteral("ModTypeSystem");
const QString kGameType = QStringLiteral("GameTypeSystem");
const QString kQuake2Dir = QStringLiteral("Quake2DirectoryEdit");
const QString kQuake3Dir = QStringLiteral("Quake3DirectoryEdit");
const QString kQuake2Engine = QStringLiteral("Quake2Engine");
const QString kQuake3Engine = QStringLiteral("Quake3Engine");
const QString kQuake2Program = QStringLiteral("Quake2ProgramEdit");
const QString kQuake3Program = QStringLiteral("Quake3ProgramEdit");
const QString kQuake3DemoExtension = QStringLiteral("Quake3DemoExtension");

[[noreturn]] void invalidType(const QString &name)
{
    throw ERegistryException(QStringLiteral("Invalid data type for '%1'").arg(name));
}

QString readString(const RegistryHive &hive, const QString &name, const QString &def)
{
    const std::optional<RegValue> v = hive.value(kSetup, name);
    if (!v)
        return def;
    if (v->type != RegValue::Sz && v->type != RegValue::ExpandSz)
        invalidType(name);
    return v->text();
}

int readInteger(const RegistryHive &hive, const QString &name, int def)
{
    const std::optional<RegValue> v = hive.value(kSetup, name);
    if (!v)
        return def;
    // A number kept as text (as someone may have typed it in) is read as text.
    if (v->type == RegValue::Sz) {
        bool ok = false;
        const int n = v->text().trimmed().toInt(&ok, 10);
        return ok ? n : def;
    }
    if (v->data.size() > 4)
        throw ERegistryException(QStringLiteral("Failed to get data for '%1'").arg(name));
    if (v->type != RegValue::Dword)
        invalidType(name);
    return qint32(v->dword());
}

void writeString(RegistryHive &hive, const QString &name, const QString &text)
{
    hive.setValue(kSetup, name, RegValue::fromString(text));
}

// An integer that is already kept as text stays text, so a hand-made value keeps its type.
void writeInteger(RegistryHive &hive, const QString &name, int n)
{
    const std::optional<RegValue> old = hive.value(kSetup, name);
    if (old && old->type == RegValue::Sz)
        hive.setValue(kSetup, name, RegValue::fromString(QString::number(n)));
    else
        hive.setValue(kSetup, name, RegValue::fromDword(quint32(n)));
}

} // namespace

ERegistryException::ERegistryException(const QString &message)
    : std::runtime_error(message.toUtf8().toStdString())
{
}

SettingsStore::SettingsStore()
{
#ifdef Q_OS_WIN
    m_native = true;
#else
    m_filePath = defaultFilePath();
#endif
}

SettingsStore::SettingsStore(const QString &filePath) : m_filePath(filePath) {}

QString SettingsStore::defaultFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/Arbelon/settings.reg");
}

std::unique_ptr<RegistryHive> SettingsStore::openForReading() const
{
#ifdef Q_OS_WIN
    if (m_native)
        return openWindowsRegistry();
#endif
    return std::make_unique<FileHive>(m_filePath, FileHive::ForReading);
}

std::unique_ptr<RegistryHive> SettingsStore::openForWriting() const
{
#ifdef Q_OS_WIN
    if (m_native)
        return openWindowsRegistry();
#endif
    return std::make_unique<FileHive>(m_filePath, FileHive::ForWriting);
}

void SettingsStore::commit(RegistryHive &hive, const QString &key, const QString &firstValue) const
{
    QString reason;
    bool folderFailed = false;
    if (hive.commit(&reason, &folderFailed))
        return;
    // The registry's own words first, then what went wrong with the file.
    const QString text = folderFailed ? QStringLiteral("Failed to create key %1").arg(key)
                                      : QStringLiteral("Failed to set data for '%1'").arg(firstValue);
    const QString where = m_filePath.isEmpty() ? reason
                                               : QDir::toNativeSeparators(m_filePath) + QStringLiteral(": ") + reason;
    throw ERegistryException(text + QLatin1Char('\n') + where);
}

void SettingsStore::LoadSettings(ClientSettings &s) const
{
    const std::unique_ptr<RegistryHive> hive = openForReading();
    s.serverIP = readString(*hive, kServerIP, QString());
    s.userName = readString(*hive, kUserName, QString()).left(ClientSettings::kMaxUserName);
    s.transferRate = qBound(0, readInteger(*hive, kTransferRate, 3000), ClientSettings::kMaxTransferRate);
    s.lastEnteredName = readString(*hive, kLastEnteredName, QString());
    s.modTypeSystem = readString(*hive, kModType, QStringLiteral("baseq2"));
    s.quake2Dir = readString(*hive, kQuake2Dir, QDir::rootPath());
    s.quake3Dir = readString(*hive, kQuake3Dir, QDir::rootPath());
    s.gameTypeSystem = readInteger(*hive, kGameType, 0);
    s.quake2Engine = readString(*hive, kQuake2Engine, QStringLiteral("quake2"));
    s.quake3Engine = readString(*hive, kQuake3Engine, QStringLiteral("quake3"));
    s.quake2Program = readString(*hive, kQuake2Program, QString());
    s.quake3Program = readString(*hive, kQuake3Program, QString());
    s.quake3DemoExtension = readString(*hive, kQuake3DemoExtension, QString());
}

void SettingsStore::SaveSettings(const ClientSettings &s) const
{
    const std::unique_ptr<RegistryHive> hive = openForWriting();
    hive->createKey(kTopKey);
    hive->createKey(kSetup);
    writeString(*hive, kServerIP, s.serverIP);
    writeString(*hive, kUserName, s.userName);
    writeInteger(*hive, kTransferRate, s.transferRate);
    writeString(*hive, kLastEnteredName, s.lastEnteredName);
    writeString(*hive, kModType, s.modTypeSystem);
    writeInteger(*hive, kGameType, s.gameTypeSystem);
    writeString(*hive, kQuake2Dir, s.quake2Dir);
    writeString(*hive, kQuake3Dir, s.quake3Dir);
    writeString(*hive, kQuake2Engine, s.quake2Engine);
    writeString(*hive, kQuake3Engine, s.quake3Engine);
    writeString(*hive, kQuake2Program, s.quake2Program);
    writeString(*hive, kQuake3Program, s.quake3Program);
    writeString(*hive, kQuake3DemoExtension, s.quake3DemoExtension);
    commit(*hive, kSetup, kServerIP);
}

QList<int> SettingsStore::parseColumnWidths(const QString &text)
{
    QList<int> widths;
    if (text.isEmpty())
        return widths;
    const QStringList pieces = text.split(QLatin1Char(','));
    for (const QString &piece : pieces) {
        if (widths.size() >= kMaxColumns)
            break;
        bool ok = false;
        const int w = piece.trimmed().toInt(&ok, 10);
        widths.append(ok && w >= 0 && w <= kMaxColumnWidth ? w : -1);
    }
    return widths;
}

QString SettingsStore::joinColumnWidths(const QList<int> &widths)
{
    QStringList pieces;
    pieces.reserve(widths.size());
    for (const int w : widths)
        pieces.append(QString::number(w));
    return pieces.join(QLatin1Char(','));
}

QList<int> SettingsStore::readColumnWidths() const
{
    try {
        const std::unique_ptr<RegistryHive> hive = openForReading();
        const std::optional<RegValue> v = hive->value(kCommon, kWidthsValue);
        if (!v || (v->type != RegValue::Sz && v->type != RegValue::ExpandSz))
            return {};
        return parseColumnWidths(v->text());
    } catch (const ERegistryException &) {
        // Loading the settings right after reports the same fault to the user.
        return {};
    }
}

void SettingsStore::writeColumnWidths(const QList<int> &widths) const
{
    const std::unique_ptr<RegistryHive> hive = openForWriting();
    if (widths.isEmpty()) {
        hive->removeValue(kCommon, kWidthsValue);
    } else {
        hive->createKey(kCommonTop);
        hive->createKey(kCommon);
        hive->setValue(kCommon, kWidthsValue, RegValue::fromString(joinColumnWidths(widths)));
    }
    commit(*hive, kCommon, kWidthsValue);
}

} // namespace arbelon
