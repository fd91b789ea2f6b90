#pragma once
// The values kept between runs, under the current user: store 1 ("Arbelon Client\Setup",
// the eight settings) and store 2 ("Arbelon\Common", the game list's column widths).
//
// On Windows this is HKEY_CURRENT_USER itself. Elsewhere it is one file in the registry
// export format, <config>/Arbelon/settings.reg (the config folder follows XDG_CONFIG_HOME),
// read whole, changed in memory and written back atomically (QSaveFile) on every save.

#include "clientsettings.h"

#include <QList>
#include <QStringList>
#include <QString>
#include <memory>
#include <stdexcept>

namespace arbelon {

class RegistryHive;

// A registry error; its text is shown to the user as it is.
class ERegistryException : public std::runtime_error {
public:
    explicit ERegistryException(const QString &message);
    QString message() const { return QString::fromUtf8(what()); }
};

class SettingsStore {
public:
    static constexpr const char *kSetupKey = "Arbelon Client\\Setup";
    static constexpr const char *kCommonKey = "Arbelon\\Common";
    static constexpr int kMaxColumns = 32;
    static constexpr int kMaxColumnWidth = 10000;

    // The current user's store.
    SettingsStore();
    // A settings file of the caller's choosing (any platform).
    explicit SettingsStore(const QString &filePath);

    // <GenericConfigLocation>/Arbelon/settings.reg
    static QString defaultFilePath();
    // Empty when the store is the Windows registry.
    QString filePath() const { return m_filePath; }
    // The folder of the client's own files beside the settings (engines.conf, the started
    // game's output): the settings file's, or where it would be beside the registry.
    QString folder() const;
    // The started game's console output, in folder(), made anew at each start.
    static constexpr const char *kGameOutputFile = "game-output.log";

    // Reads the eight values in their fixed order. Throws ERegistryException at the first
    // value that cannot be read (or when the store itself cannot be read); the values before
    // it are set, the rest keep what s held.
    void LoadSettings(ClientSettings &s) const;
    // Writes all eight values; throws ERegistryException when they cannot be written. After a
    // load that stopped at a bad value, the values it did not reach are written only once the
    // program has changed them, so the user's stored folders and names survive; the file is
    // kept as a damaged copy before the bad value is written over.
    void SaveSettings(const ClientSettings &s) const;

    // The stored widths from left to right. A piece that is not a width from 0 to
    // kMaxColumnWidth is -1: that column keeps its width. At most kMaxColumns entries.
    // A store that cannot be read gives no widths: it never keeps the window from opening.
    QList<int> readColumnWidths() const;
    // Writes the widths; an empty list deletes the value. Throws ERegistryException.
    void writeColumnWidths(const QList<int> &widths) const;

    // The text form of the widths, and back (exposed for the tests of the rules).
    static QList<int> parseColumnWidths(const QString &text);
    static QString joinColumnWidths(const QList<int> &widths);

private:
    std::unique_ptr<RegistryHive> openForReading() const;
    std::unique_ptr<RegistryHive> openForWriting() const;
    void commit(RegistryHive &hive, const QString &key, const QString &firstValue) const;

    QString m_filePath;
    bool m_native = false; // the platform's registry rather than a file
    // What the last load did not read (the bad value first) and what it left in the
    // settings, to tell an unread value from one the program has set since.
    mutable QStringList m_unread;
    mutable ClientSettings m_afterLoad;
};

} // namespace arbelon
