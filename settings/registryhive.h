#pragma once
// The current user's part of the registry as the settings store sees it: keys below
// HKEY_CURRENT_USER ("Arbelon Client\Setup"), typed values, and one commit at the end of a
// save. On Windows it is the registry itself; elsewhere one text file (see regfile.h).

#include "regfile.h"

#include <QString>
#include <memory>
#include <optional>

namespace arbelon {

class RegistryHive {
public:
    virtual ~RegistryHive() = default;

    virtual std::optional<RegValue> value(const QString &key, const QString &name) const = 0;
    virtual void createKey(const QString &key) = 0;
    virtual void setValue(const QString &key, const QString &name, const RegValue &v) = 0;
    virtual void removeValue(const QString &key, const QString &name) = 0;
    // Makes the changes lasting. False with a reason when they could not be written;
    // folderFailed tells that not even the place for them could be made.
    virtual bool commit(QString *reason, bool *folderFailed) = 0;
};

// The file stand-in. Opening reads the whole file; a missing file is an empty hive.
class FileHive : public RegistryHive {
public:
    enum Mode { ForReading,
                ForWriting };

    // Throws ERegistryException when the file cannot be read or is damaged. For writing, a
    // damaged file is kept beside it (keepDamagedCopy) and the hive starts empty, so a
    // hand-edited file that went wrong never blocks saving and is not lost either.
    FileHive(const QString &path, Mode mode);

    std::optional<RegValue> value(const QString &key, const QString &name) const override;
    void createKey(const QString &key) override;
    void setValue(const QString &key, const QString &name, const RegValue &v) override;
    void removeValue(const QString &key, const QString &name) override;
    bool commit(QString *reason, bool *folderFailed) override;

    static QString rootedKey(const QString &key);
    // Keeps a copy of the file as "<name>.damaged"; the copies kept before move on to
    // ".damaged.2" up to kMaxDamagedCopies, and only the oldest beyond that goes.
    static void keepDamagedCopy(const QString &path);
    static constexpr int kMaxDamagedCopies = 5;

private:
    QString m_path;
    RegFile m_file;
    bool m_dirty = false;
};

// The platform's own registry: HKEY_CURRENT_USER on Windows (winregistryhive.cpp); none
// elsewhere (noregistryhive.cpp), where openNativeRegistry() gives nullptr.
bool nativeRegistryAvailable();
std::unique_ptr<RegistryHive> openNativeRegistry();

} // namespace arbelon
