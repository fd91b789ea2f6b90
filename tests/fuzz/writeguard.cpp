#include "writeguard.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace arbelon::fuzz {

namespace {

std::atomic<bool> g_armed{false};
std::mutex g_mutex;
std::vector<std::string> g_allowed;
std::string g_violation;

std::string descriptorPath(int fd)
{
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[4096];
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    return n > 0 ? std::string(target, size_t(n)) : std::string("/");
}

// Decides one request; refuses with EACCES and remembers the first refusal.
bool permitted(int dirfd, const char *path)
{
    if (!g_armed.load(std::memory_order_relaxed) || !path)
        return true;
    const std::string p = normalizedPath(dirfd, path);
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const std::string &folder : g_allowed) {
        if (p.size() > folder.size() && p.compare(0, folder.size(), folder) == 0 && p[folder.size()] == '/')
            return true;
    }
    if (g_violation.empty())
        g_violation = p;
    errno = EACCES;
    return false;
}

bool writes(int flags)
{
    return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND)) != 0;
}

template <typename Fn>
Fn next(const char *name)
{
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

} // namespace

std::string normalizedPath(int dirfd, const char *path)
{
    std::string full;
    if (path[0] == '/') {
        full = path;
    } else {
        std::string base;
        if (dirfd == AT_FDCWD) {
            char cwd[4096];
            base = ::getcwd(cwd, sizeof cwd) ? cwd : "/";
        } else {
            base = descriptorPath(dirfd);
        }
        full = base + "/" + path;
    }
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= full.size()) {
        const size_t j = full.find('/', i);
        const std::string part = full.substr(i, j == std::string::npos ? std::string::npos : j - i);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        if (j == std::string::npos)
            break;
        i = j + 1;
    }
    std::string out;
    for (const std::string &part : parts)
        out += "/" + part;
    return out.empty() ? "/" : out;
}

void armWriteGuard(const std::vector<std::string> &allowedFolders)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_allowed.clear();
        for (const std::string &f : allowedFolders)
            g_allowed.push_back(normalizedPath(AT_FDCWD, f.c_str()));
        g_violation.clear();
    }
    g_armed = true;
}

void disarmWriteGuard()
{
    g_armed = false;
}

std::string writeGuardViolation()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_violation;
}

} // namespace arbelon::fuzz

using arbelon::fuzz::permitted;
using arbelon::fuzz::writes;
using arbelon::fuzz::next;

// ---- the C library's entry points -------------------------------------------------------

extern "C" {

#define ARBELON_OPEN_MODE(flags)           \
    mode_t mode = 0;                       \
    if ((flags) & (O_CREAT | O_TMPFILE)) { \
        va_list ap;                        \
        va_start(ap, flags);               \
        mode = mode_t(va_arg(ap, int));    \
        va_end(ap);                        \
    }

int open(const char *path, int flags, ...)
{
    ARBELON_OPEN_MODE(flags)
    if (writes(flags) && !permitted(AT_FDCWD, path))
        return -1;
    static auto real = next<int (*)(const char *, int, ...)>("open");
    return real(path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    ARBELON_OPEN_MODE(flags)
    if (writes(flags) && !permitted(AT_FDCWD, path))
        return -1;
    static auto real = next<int (*)(const char *, int, ...)>("open64");
    return real(path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...)
{
    ARBELON_OPEN_MODE(flags)
    if (writes(flags) && !permitted(dirfd, path))
        return -1;
    static auto real = next<int (*)(int, const char *, int, ...)>("openat");
    return real(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    ARBELON_OPEN_MODE(flags)
    if (writes(flags) && !permitted(dirfd, path))
        return -1;
    static auto real = next<int (*)(int, const char *, int, ...)>("openat64");
    return real(dirfd, path, flags, mode);
}

int __open_2(const char *path, int flags)
{
    return open(path, flags);
}

int __open64_2(const char *path, int flags)
{
    return open64(path, flags);
}

int creat(const char *path, mode_t mode)
{
    return open(path, O_CREAT | O_WRONLY | O_TRUNC, mode);
}

int creat64(const char *path, mode_t mode)
{
    return open64(path, O_CREAT | O_WRONLY | O_TRUNC, mode);
}

int mkdir(const char *path, mode_t mode)
{
    if (!permitted(AT_FDCWD, path))
        return -1;
    static auto real = next<int (*)(const char *, mode_t)>("mkdir");
    return real(path, mode);
}

int mkdirat(int dirfd, const char *path, mode_t mode)
{
    if (!permitted(dirfd, path))
        return -1;
    static auto real = next<int (*)(int, const char *, mode_t)>("mkdirat");
    return real(dirfd, path, mode);
}

int rename(const char *from, const char *to)
{
    if (!permitted(AT_FDCWD, from) || !permitted(AT_FDCWD, to))
        return -1;
    static auto real = next<int (*)(const char *, const char *)>("rename");
    return real(from, to);
}

int renameat(int fromfd, const char *from, int tofd, const char *to)
{
    if (!permitted(fromfd, from) || !permitted(tofd, to))
        return -1;
    static auto real = next<int (*)(int, const char *, int, const char *)>("renameat");
    return real(fromfd, from, tofd, to);
}

int renameat2(int fromfd, const char *from, int tofd, const char *to, unsigned flags)
{
    if (!permitted(fromfd, from) || !permitted(tofd, to))
        return -1;
    static auto real = next<int (*)(int, const char *, int, const char *, unsigned)>("renameat2");
    return real(fromfd, from, tofd, to, flags);
}

int link(const char *from, const char *to)
{
    if (!permitted(AT_FDCWD, to))
        return -1;
    static auto real = next<int (*)(const char *, const char *)>("link");
    return real(from, to);
}

int linkat(int fromfd, const char *from, int tofd, const char *to, int flags)
{
    if (!permitted(tofd, to))
        return -1;
    static auto real = next<int (*)(int, const char *, int, const char *, int)>("linkat");
    return real(fromfd, from, tofd, to, flags);
}

int symlink(const char *target, const char *path)
{
    if (!permitted(AT_FDCWD, path))
        return -1;
    static auto real = next<int (*)(const char *, const char *)>("symlink");
    return real(target, path);
}

int unlink(const char *path)
{
    if (!permitted(AT_FDCWD, path))
        return -1;
    static auto real = next<int (*)(const char *)>("unlink");
    return real(path);
}

int truncate(const char *path, off_t length)
{
    if (!permitted(AT_FDCWD, path))
        return -1;
    static auto real = next<int (*)(const char *, off_t)>("truncate");
    return real(path, length);
}

} // extern "C"
