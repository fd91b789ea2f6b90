// The process scan on Windows: a Toolhelp snapshot, each process's full image path, and only
// the processes of this user in this Windows session (another user's game on a shared
// machine is not the one being filmed).
#include "processfinder.h"

#include <QDir>
#include <QFileInfo>

#include <windows.h>
#include <tlhelp32.h>

#include <memory>
#include <vector>

namespace arbelon {

namespace {

struct HandleCloser {
    void operator()(HANDLE h) const
    {
        if (h && h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// The user SID of a process token, as bytes; empty when it cannot be read.
std::vector<unsigned char> tokenUser(HANDLE process)
{
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &rawToken))
        return {};
    const Handle token(rawToken);
    DWORD needed = 0;
    GetTokenInformation(rawToken, TokenUser, nullptr, 0, &needed);
    if (needed == 0 || needed > 4096)
        return {};
    std::vector<unsigned char> buffer(needed);
    if (!GetTokenInformation(rawToken, TokenUser, buffer.data(), needed, &needed))
        return {};
    const auto *user = reinterpret_cast<const TOKEN_USER *>(buffer.data());
    const DWORD length = GetLengthSid(user->User.Sid);
    const auto *sid = static_cast<const unsigned char *>(user->User.Sid);
    return std::vector<unsigned char>(sid, sid + length);
}

QString imagePath(HANDLE process)
{
    std::vector<wchar_t> path(32768);
    DWORD size = DWORD(path.size());
    if (!QueryFullProcessImageNameW(process, 0, path.data(), &size))
        return {};
    return QDir::fromNativeSeparators(QString::fromWCharArray(path.data(), int(size)));
}

} // namespace

bool processRunning(const QString &executable)
{
    if (executable.isEmpty())
        return false;
    const QString wanted = QDir::fromNativeSeparators(executable);
    const bool byPath = wanted.contains(QLatin1Char('/'));
    const QString wantedPath = byPath ? QDir::cleanPath(QFileInfo(wanted).absoluteFilePath()) : QString();
    const QString wantedName = byPath ? QFileInfo(wantedPath).fileName() : wanted;

    const std::vector<unsigned char> me = tokenUser(GetCurrentProcess());
    DWORD mySession = 0;
    if (me.empty() || !ProcessIdToSessionId(GetCurrentProcessId(), &mySession))
        return false;

    const Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (snapshot.get() == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        // The snapshot's exe name is the cheap first filter: most processes are not games.
        if (QString::fromWCharArray(entry.szExeFile).compare(wantedName, Qt::CaseInsensitive) != 0)
            continue;
        DWORD session = 0;
        if (!ProcessIdToSessionId(entry.th32ProcessID, &session) || session != mySession)
            continue;
        const Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        if (!process)
            continue;
        DWORD code = 0;
        if (GetExitCodeProcess(process.get(), &code) && code != STILL_ACTIVE)
            continue;
        const std::vector<unsigned char> owner = tokenUser(process.get());
        if (owner.empty() || !EqualSid(const_cast<unsigned char *>(owner.data()), const_cast<unsigned char *>(me.data())))
            continue;
        const QString image = imagePath(process.get());
        if (image.isEmpty())
            continue;
        if (byPath ? image.compare(wantedPath, Qt::CaseInsensitive) == 0
                   : QFileInfo(image).fileName().compare(wantedName, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

namespace {

quint64 creationTime(HANDLE process)
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    return (quint64(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

} // namespace

ProcessTicket processTicket(qint64 pid)
{
    if (pid <= 0)
        return {};
    const Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid)));
    if (!process)
        return {};
    const quint64 created = creationTime(process.get());
    return created ? ProcessTicket{pid, created} : ProcessTicket{};
}

bool stopProcess(const ProcessTicket &ticket)
{
    if (!ticket.valid())
        return false;
    const Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, DWORD(ticket.pid)));
    if (!process || creationTime(process.get()) != ticket.startTime)
        return false;
    DWORD code = 0;
    if (!GetExitCodeProcess(process.get(), &code) || code != STILL_ACTIVE)
        return false;
    return TerminateProcess(process.get(), 1) != 0;
}

} // namespace arbelon
