#pragma once
// A game folder that the client takes for an installed game: its base folders are there.

#include <QDir>
#include <QString>

namespace arbelon::test {

inline bool makeGameFolders(const QString &folder)
{
    const QDir dir(folder);
    return dir.mkpath(QStringLiteral("baseq2")) && dir.mkpath(QStringLiteral("baseq3"));
}

} // namespace arbelon::test
