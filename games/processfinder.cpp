#include "processfinder.h"

#include <QByteArray>
#include <QList>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace arbelon {

namespace {

// The kernel keeps a process's command name in 16 bytes, terminator included.
constexpr int kCommLength = 15;

struct DirCloser {
    void operator()(DIR *d) const { closedir(d); }
};

// Reads at most maxBytes of a /proc file; empty when the process has gone meanwhile.
QByteArray readProcFile(const QByteArray &path, qsizetype maxBytes)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    QByteArray data(maxBytes, Qt::Uninitialized);
    qsizetype total = 0;
    while (total < maxBytes) {
        const ssize_t n = ::read(fd, data.data() + total, size_t(maxBytes - total));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        total += n;
    }
    ::close(fd);
    data.truncate(total);
    return data;
}

bool isPid(const char *name)
{
    if (*name == '\0')
        return false;
    for (; *name; ++name) {
        if (*name < '0' || *name > '9')
            return false;
    }
    return true;
}

bool sameName(const QByteArray &a, const QByteArray &b)
{
    return a.size() == b.size() && qstrnicmp(a.constData(), b.constData(), size_t(a.size())) == 0;
}

// Another user's game on a shared machine is not the one this user plays or films.
bool mine(const QByteArray &base)
{
    return procStatusOwnedBy(readProcFile(base + "/status", 4096), uint(::getuid()));
}

} // namespace

bool procStatusOwnedBy(QByteArrayView status, uint uid)
{
    // "Uid:\treal\teffective\tsaved\tfs": the real user is the one who started it.
    for (QByteArrayView rest = status; !rest.isEmpty();) {
        const qsizetype end = rest.indexOf('\n');
        const QByteArrayView line = end < 0 ? rest : rest.first(end);
        rest = end < 0 ? QByteArrayView() : rest.sliced(end + 1);
        if (!line.startsWith("Uid:"))
            continue;
        const QByteArray fields = line.sliced(4).toByteArray().simplified();
        const qsizetype blank = fields.indexOf(' ');
        bool ok = false;
        const qulonglong real = (blank < 0 ? fields : fields.left(blank)).toULongLong(&ok, 10);
        return ok && real == uid;
    }
    return false;
}

bool processRunning(const QString &executable)
{
    const QByteArray wanted = executable.toLocal8Bit();
    if (wanted.isEmpty())
        return false;
    const QByteArray wantedComm = wanted.left(kCommLength);

    std::unique_ptr<DIR, DirCloser> proc(opendir("/proc"));
    if (!proc)
        return false;
    while (const dirent *entry = readdir(proc.get())) {
        if (!isPid(entry->d_name))
            continue;
        const QByteArray base = QByteArrayLiteral("/proc/") + entry->d_name;

        // stat is "pid (comm) state ...": the command name may itself hold blanks or
        // parentheses, so it ends at the last ")".
        const QByteArray stat = readProcFile(base + "/stat", 512);
        const qsizetype open = stat.indexOf('(');
        const qsizetype close = stat.lastIndexOf(')');
        if (open < 0 || close < open || close + 2 >= stat.size())
            continue;
        const char state = stat.at(close + 2);
        if (state == 'Z' || state == 'X')
            continue; // exited, only waiting to be reaped
        if (sameName(stat.mid(open + 1, close - open - 1), wantedComm)) {
            if (mine(base))
                return true;
            continue;
        }

        // The command name comes from the file that was executed; argv[0] catches a game
        // started through a loader or an interpreter.
        QByteArray argv0 = readProcFile(base + "/cmdline", 4096);
        const qsizetype nul = argv0.indexOf('\0');
        if (nul >= 0)
            argv0.truncate(nul);
        const qsizetype slash = qMax(argv0.lastIndexOf('/'), argv0.lastIndexOf('\\'));
        if (sameName(argv0.mid(slash + 1), wanted) && mine(base))
            return true;
    }
    return false;
}

ProcessTicket processTicket(qint64 pid)
{
    if (pid <= 0)
        return {};
    // Field 22 of /proc/PID/stat, counted after the command name (which may hold blanks).
    const QByteArray base = "/proc/" + QByteArray::number(pid);
    if (!mine(base))
        return {};
    const QByteArray stat = readProcFile(base + "/stat", 4096);
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0)
        return {};
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    if (fields.size() < 20)
        return {};
    bool ok = false;
    const quint64 start = fields.at(19).toULongLong(&ok);
    if (!ok)
        return {};
    return ProcessTicket{pid, start};
}

bool stopProcess(const ProcessTicket &ticket)
{
    if (!ticket.valid())
        return false;
    const ProcessTicket now = processTicket(ticket.pid);
    if (!now.valid() || now.startTime != ticket.startTime)
        return false;
    return ::kill(pid_t(ticket.pid), SIGKILL) == 0;
}

} // namespace arbelon
