#include "registryhive.h"

#include "settingsstore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace arbelon {

QString FileHive::rootedKey(const QString &key)
{
    return QStringLiteral("HKEY_CURRENT_USER\\") + key;
}

FileHive::FileHive(const QString &path, Mode mode) : m_path(path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return;
    QFile f(path);
    if (info.isDir() || !f.open(QIODevice::ReadOnly)) {
        const QString reason = info.isDir() ? QStringLiteral("it is a folder") : f.errorString();
        throw ERegistryException(QStringLiteral("Cannot read the settings file %1 (%2); the defaults are used.")
                                     .arg(QDir::toNativeSeparators(path), reason));
    }
    // Read at most one byte past the limit, so a huge file costs no more than that.
    const QByteArray bytes = f.read(RegFile::kMaxFileSize + 1);
    QString error;
    std::optional<RegFile> parsed = RegFile::parse(bytes, &error);
    if (parsed) {
        m_file = std::move(*parsed);
        return;
    }
    if (mode == ForReading) {
        throw ERegistryException(QStringLiteral("The settings file %1 is damaged (%2); the defaults are used.")
                                     .arg(QDir::toNativeSeparators(path), error));
    }
    // Saving over it: keep the damaged text for the user, then start afresh.
    keepDamagedCopy(path);
    m_dirty = true;
}

void FileHive::keepDamagedCopy(const QString &path)
{
    const auto copyName = [&](int n) {
        return path + QStringLiteral(".damaged") + (n > 1 ? QStringLiteral(".%1").arg(n) : QString());
    };
    QFile::remove(copyName(kMaxDamagedCopies));
    for (int n = kMaxDamagedCopies - 1; n >= 1; --n) {
        if (QFile::exists(copyName(n)))
            QFile::rename(copyName(n), copyName(n + 1));
    }
    QFile::copy(path, copyName(1));
}

std::optional<RegValue> FileHive::value(const QString &key, const QString &name) const
{
    return m_file.value(rootedKey(key), name);
}

void FileHive::createKey(const QString &key)
{
    const QString k = rootedKey(key);
    if (!m_file.hasKey(k)) {
        m_file.createKey(k);
        m_dirty = true;
    }
}

void FileHive::setValue(const QString &key, const QString &name, const RegValue &v)
{
    const std::optional<RegValue> old = m_file.value(rootedKey(key), name);
    if (old && old->type == v.type && old->data == v.data)
        return;
    m_file.setValue(rootedKey(key), name, v);
    m_dirty = true;
}

void FileHive::removeValue(const QString &key, const QString &name)
{
    if (m_file.removeValue(rootedKey(key), name))
        m_dirty = true;
}

bool FileHive::commit(QString *reason, bool *folderFailed)
{
    *folderFailed = false;
    if (!m_dirty)
        return true;
    const QString dir = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(dir)) {
        *folderFailed = true;
        *reason = QStringLiteral("cannot make the folder %1").arg(QDir::toNativeSeparators(dir));
        return false;
    }
    QSaveFile f(m_path);
    if (!f.open(QIODevice::WriteOnly)) {
        *reason = f.errorString();
        return false;
    }
    f.write(m_file.serialize());
    if (!f.commit()) {
        *reason = f.errorString();
        return false;
    }
    m_dirty = false;
    return true;
}

} // namespace arbelon
