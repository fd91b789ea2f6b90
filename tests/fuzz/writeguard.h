#pragma once
// Refuses, and remembers, every attempt of this process to create, write, rename or link a
// file outside the folders allowed while the guard is armed. It replaces the C library's
// entry points (open, mkdir, rename, ...) in the fuzz executable, so Qt's file classes go
// through it too. Paths are compared after making them absolute and removing "." and "..".

#include <string>
#include <vector>

namespace arbelon::fuzz {

// Arms the guard: from now on writes succeed only inside one of the folders (absolute paths).
void armWriteGuard(const std::vector<std::string> &allowedFolders);
void disarmWriteGuard();

// The first path refused since the guard was last armed; empty when none was.
std::string writeGuardViolation();

// Absolute form of path (relative to dirfd, or the working directory) without "." and "..".
std::string normalizedPath(int dirfd, const char *path);

} // namespace arbelon::fuzz
