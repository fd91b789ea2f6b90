#include "natsusers.h"

#include "clusternames.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

namespace arbelon {

namespace {
QByteArray newPassword()
{
    QByteArray bytes(24, Qt::Uninitialized);
    QRandomGenerator::system()->generate(bytes.begin(), bytes.end());
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

bool writeNew(const QString &path, const QByteArray &text, QString *error)
{
    QFile file(path);
    if (file.exists()) {
        *error = QStringLiteral("%1 exists; remove it to write new passwords").arg(path);
        return false;
    }
    // Owner only from the start: the passwords are never readable by others, not even briefly.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || file.write(text) != text.size() || !file.flush()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

QByteArray indented(const QByteArray &block, const QByteArray &by)
{
    QByteArray out;
    for (const QByteArray &line : block.split('\n')) {
        if (!line.isEmpty())
            out += by + line + '\n';
    }
    return out;
}
} // namespace

bool writeNatsUsers(const QString &dir, const QList<QByteArray> &peers, QString *error)
{
    if (!QDir().mkpath(dir)) {
        *error = QStringLiteral("cannot make %1").arg(dir);
        return false;
    }
    QByteArray conf = "# Relay nodes " + peers.join(',') +
                      ": each may publish only as itself (arbelon-relay --write-nats-users).\n"
                      "authorization {\n  users = [\n";
    QList<QByteArray> passwords;
    for (const QByteArray &node : peers) {
        passwords.append(newPassword());
        conf += "    {\n      user: \"" + node + "\"\n      password: \"" + passwords.last() + "\"\n"
                + indented(clusternames::natsPermissions(peers, node), "      ") + "    }\n";
    }
    conf += "  ]\n}\n";
    if (!writeNew(QDir(dir).filePath(QStringLiteral("nats-users.conf")), conf, error))
        return false;
    for (qsizetype i = 0; i < peers.size(); ++i) {
        const QString path = QDir(dir).filePath(QString::fromLatin1(peers.at(i)) + QStringLiteral(".user"));
        if (!writeNew(path, peers.at(i) + '\n' + passwords.at(i) + '\n', error))
            return false;
    }
    return true;
}

} // namespace arbelon
