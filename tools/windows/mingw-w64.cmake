# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (posix threads: std::thread and
# Qt's threads need them). Used for Qt itself and for Arbelon's Windows programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ARBELON_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${ARBELON_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ARBELON_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ARBELON_MINGW_TRIPLE}-windres)

# Libraries and headers come from the mingw sysroot (and the Qt prefix added by the caller),
# programs from the host.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${ARBELON_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
