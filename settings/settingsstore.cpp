#include "settingsstore.h"

#include "registryhive.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>

#include <functional>

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
const QString kFollowDemos = QStringLiteral("FollowDemos");
const QString kRecentServers = QStringLiteral("RecentServers");
const QString kWindowGeometry = QStringLiteral("WindowGeometry");
const QString kMaximized = QStringLiteral("maximized");

QStringList parseServers(const QString &text)
{
    ClientSettings list;
    const QStringList pieces = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    // Oldest first, so that the newest ends at the head, as rememberServer leaves them.
    for (qsizetype i = pieces.size() - 1; i >= 0; --i)
        list.rememberServer(pieces.at(i));
    return list.recentServers;
}

// "x,y,width,height" and ",maximized" when it was; anything else is no geometry, so a
// hand-edited value never keeps the window from opening.
void parseGeometry(const QString &text, ClientSettings &s)
{
    s.windowGeometry = QRect();
    s.windowMaximized = false;
    const QStringList pieces = text.split(QLatin1Char(','));
    if (pieces.size() != 4 && pieces.size() != 5)
        return;
    int n[4];
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        n[i] = pieces.at(i).trimmed().toInt(&ok, 10);
        if (!ok)
            return;
    }
    if (n[2] <= 0 || n[3] <= 0)
        return;
    s.windowGeometry = QRect(n[0], n[1], n[2], n[3]);
    s.windowMaximized = pieces.size() == 5 && pieces.at(4).trimmed() == kMaximized;
}

QString joinGeometry(const ClientSettings &s)
{
    if (s.windowGeometry.isNull())
        return {};
    const QRect &r = s.windowGeometry;
    QString text = QStringLiteral("%1,%2,%3,%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
    if (s.windowMaximized)
        text += QLatin1Char(',') + kMaximized;
    return text;
}

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

void ClientSettings::rememberServer(const QString &server)
{
    const QString text = server.trimmed();
    if (text.isEmpty() || text.contains(QLatin1Char(',')))
        return;
    recentServers.removeIf([&text](const QString &kept) { return kept.compare(text, Qt::CaseInsensitive) == 0; });
    recentServers.prepend(text);
    while (recentServers.size() > kMaxRecentServers)
        recentServers.removeLast();
}

ERegistryException::ERegistryException(const QString &message)
    : std::runtime_error(message.toUtf8().toStdString())
{
}

SettingsStore::SettingsStore()
{
    m_native = nativeRegistryAvailable();
    if (!m_native)
        m_filePath = defaultFilePath();
}

SettingsStore::SettingsStore(const QString &filePath) : m_filePath(filePath) {}

QString SettingsStore::defaultFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/Arbelon/settings.reg");
}

QString SettingsStore::folder() const
{
    return QFileInfo(m_filePath.isEmpty() ? defaultFilePath() : m_filePath).absolutePath();
}

std::unique_ptr<RegistryHive> SettingsStore::openForReading() const
{
    if (m_native)
        return openNativeRegistry();
    return std::make_unique<FileHive>(m_filePath, FileHive::ForReading);
}

std::unique_ptr<RegistryHive> SettingsStore::openForWriting() const
{
    if (m_native)
        return openNativeRegistry();
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
    m_unread.clear();
    const std::unique_ptr<RegistryHive> hive = openForReading();
    // The order is the stored one; a value that cannot be read ends the load there.
    const QList<std::function<void()>> steps = {
        [&] { s.serverIP = readString(*hive, kServerIP, QString()); },
        [&] { s.userName = readString(*hive, kUserName, QString()).left(ClientSettings::kMaxUserName); },
        [&] { s.transferRate = qBound(0, readInteger(*hive, kTransferRate, 3000), ClientSettings::kMaxTransferRate); },
        [&] { s.lastEnteredName = readString(*hive, kLastEnteredName, QString()); },
        [&] { s.modTypeSystem = readString(*hive, kModType, QStringLiteral("baseq2")); },
        [&] { s.quake2Dir = QDir::fromNativeSeparators(readString(*hive, kQuake2Dir, QDir::rootPath())); },
        [&] { s.quake3Dir = QDir::fromNativeSeparators(readString(*hive, kQuake3Dir, QDir::rootPath())); },
        [&] { s.gameTypeSystem = readInteger(*hive, kGameType, 0); },
        [&] { s.quake2Engine = readString(*hive, kQuake2Engine, QStringLiteral("quake2")); },
        [&] { s.quake3Engine = readString(*hive, kQuake3Engine, QStringLiteral("quake3")); },
        [&] { s.quake2Program = readString(*hive, kQuake2Program, QString()); },
        [&] { s.quake3Program = readString(*hive, kQuake3Program, QString()); },
        [&] { s.quake3DemoExtension = readString(*hive, kQuake3DemoExtension, QString()); },
        [&] { s.followDemos = readInteger(*hive, kFollowDemos, 1) != 0 ? 1 : 0; },
        [&] { s.recentServers = parseServers(readString(*hive, kRecentServers, QString())); },
        [&] { parseGeometry(readString(*hive, kWindowGeometry, QString()), s); },
    };
    const QStringList names = {kServerIP, kUserName, kTransferRate, kLastEnteredName,
                               kModType, kQuake2Dir, kQuake3Dir, kGameType,
                               kQuake2Engine, kQuake3Engine, kQuake2Program, kQuake3Program,
                               kQuake3DemoExtension, kFollowDemos, kRecentServers, kWindowGeometry};
    for (qsizetype i = 0; i < steps.size(); ++i) {
        try {
            steps.at(i)();
        } catch (const ERegistryException &) {
            m_unread = names.mid(i);
            m_afterLoad = s;
            throw;
        }
    }
}

void SettingsStore::SaveSettings(const ClientSettings &s) const
{
    const std::unique_ptr<RegistryHive> hive = openForWriting();
    // A value the last load did not reach is written only when the program changed it.
    const QString badValue = m_unread.value(0);
    const auto keep = [&](const QString &name, bool unchanged) {
        return unchanged && name != badValue && m_unread.contains(name);
    };
    const ClientSettings &a = m_afterLoad;
    hive->createKey(kTopKey);
    hive->createKey(kSetup);
    if (!keep(kServerIP, s.serverIP == a.serverIP))
        writeString(*hive, kServerIP, s.serverIP);
    if (!keep(kUserName, s.userName == a.userName))
        writeString(*hive, kUserName, s.userName);
    if (!keep(kTransferRate, s.transferRate == a.transferRate))
        writeInteger(*hive, kTransferRate, s.transferRate);
    if (!keep(kLastEnteredName, s.lastEnteredName == a.lastEnteredName))
        writeString(*hive, kLastEnteredName, s.lastEnteredName);
    if (!keep(kModType, s.modTypeSystem == a.modTypeSystem))
        writeString(*hive, kModType, s.modTypeSystem);
    if (!keep(kGameType, s.gameTypeSystem == a.gameTypeSystem))
        writeInteger(*hive, kGameType, s.gameTypeSystem);
    if (!keep(kQuake2Dir, s.quake2Dir == a.quake2Dir))
        writeString(*hive, kQuake2Dir, QDir::toNativeSeparators(s.quake2Dir));
    if (!keep(kQuake3Dir, s.quake3Dir == a.quake3Dir))
        writeString(*hive, kQuake3Dir, QDir::toNativeSeparators(s.quake3Dir));
    if (!keep(kQuake2Engine, s.quake2Engine == a.quake2Engine))
        writeString(*hive, kQuake2Engine, s.quake2Engine);
    if (!keep(kQuake3Engine, s.quake3Engine == a.quake3Engine))
        writeString(*hive, kQuake3Engine, s.quake3Engine);
    if (!keep(kQuake2Program, s.quake2Program == a.quake2Program))
        writeString(*hive, kQuake2Program, s.quake2Program);
    if (!keep(kQuake3Program, s.quake3Program == a.quake3Program))
        writeString(*hive, kQuake3Program, s.quake3Program);
    if (!keep(kQuake3DemoExtension, s.quake3DemoExtension == a.quake3DemoExtension))
        writeString(*hive, kQuake3DemoExtension, s.quake3DemoExtension);
    if (!keep(kFollowDemos, s.followDemos == a.followDemos))
        writeInteger(*hive, kFollowDemos, s.followDemos);
    if (!keep(kRecentServers, s.recentServers == a.recentServers))
        writeString(*hive, kRecentServers, s.recentServers.join(QLatin1Char(',')));
    if (!keep(kWindowGeometry, s.windowGeometry == a.windowGeometry && s.windowMaximized == a.windowMaximized))
        writeString(*hive, kWindowGeometry, joinGeometry(s));
    // The bad value is about to be replaced: the file as it was is kept for the user.
    if (!badValue.isEmpty() && !m_filePath.isEmpty())
        FileHive::keepDamagedCopy(m_filePath);
    commit(*hive, kSetup, kServerIP);
    m_unread.clear();
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
