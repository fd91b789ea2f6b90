#!/usr/bin/env bash
# Builds Qt for Windows (64-bit, mingw-w64) from Debian's own qt6-base source, with Debian's
# Qt as the host tools, once per source version and configure options: the result lives in a
# cache outside the checkout and is reused while its key matches. Prints the Qt prefix last.
#
# Environment: ARBELON_QT_WINDOWS_CACHE (default ${XDG_CACHE_HOME:-~/.cache}/arbelon/qt-windows),
# JOBS (default 2). Expects tools/windows/setup.sh to have run. --print-prefix only prints
# where the cache for the current key is.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
CACHE=${ARBELON_QT_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/arbelon/qt-windows}

# Only what the client, arbelon-cli and their tests use: Core, Gui, Widgets, Network, Test and
# the Windows platform plugin. OpenGL stays on: the platform plugin does not compile without it.
OPTIONS=(
  -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
  -DFEATURE_sql=OFF -DFEATURE_printsupport=OFF -DFEATURE_dbus=OFF -DFEATURE_concurrent=OFF
  -DFEATURE_xml=OFF -DFEATURE_icu=OFF -DFEATURE_openssl=OFF -DFEATURE_vulkan=OFF
  -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF -DFEATURE_pkg_config=OFF -DFEATURE_opengl=ON
  # Windows draws text through DirectWrite: the FreeType engine would only lengthen the build.
  # Direct2D stays on: Qt 6.4's DirectWrite font engine is built only with it.
  -DFEATURE_freetype=OFF -DFEATURE_pdf=OFF
  -DFEATURE_textmarkdownreader=OFF -DFEATURE_textmarkdownwriter=OFF -DFEATURE_textodfwriter=OFF
  # Debian's source leaves out the third-party wintab.h that Windows tablet input needs.
  -DFEATURE_tabletevent=OFF
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
)

version=$(apt-cache showsrc qt6-base 2>/dev/null | awk '/^Version:/ {print $2}' | sort -V | tail -n 1)
if [ -z "$version" ]; then
  echo "qt.sh: no qt6-base source package is known to apt (is the deb-src entry there?)" >&2
  exit 1
fi
key=$( { echo "$version"; printf '%s\n' "${OPTIONS[@]}"; cat "$here/mingw-w64.cmake";
         x86_64-w64-mingw32-g++-posix -dumpfullversion; } | sha256sum | cut -c1-16)
prefix="$CACHE/$key"
if [ "${1:-}" = "--print-prefix" ]; then
  echo "$prefix"
  exit 0
fi
# One build of a key at a time: a second one waits for the first and then takes its result.
mkdir -p "$CACHE"
exec 9>"$CACHE/$key.lock"
flock 9
if [ -f "$prefix/.complete" ]; then
  echo "qt.sh: Qt $version for Windows is cached in $prefix" >&2
  echo "$prefix"
  exit 0
fi

echo "qt.sh: building Qt $version for Windows into $prefix (about 40 minutes on 2 cores)" >&2
rm -rf "$prefix" "$CACHE/work-$key"
mkdir -p "$CACHE/work-$key" "$prefix"
work="$CACHE/work-$key"
# The toolchain file is kept beside the prefix: Qt's own toolchain file loads it again for
# every program built with this Qt, so it must outlive the checkout that built it.
cp "$here/mingw-w64.cmake" "$prefix/mingw-w64.cmake"
(cd "$work" && apt-get source --download-only "qt6-base=$version" >&2 &&
   dpkg-source --no-check -x qt6-base_*.dsc src >&2)
PKG_CONFIG_LIBDIR= cmake -S "$work/src" -B "$work/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$prefix/mingw-w64.cmake" -DCMAKE_INSTALL_PREFIX="$prefix" \
  "${OPTIONS[@]}" >&2
cmake --build "$work/build" -j"${JOBS:-2}" >&2
cmake --install "$work/build" >&2
echo "$version" > "$prefix/.complete"
rm -rf "$work"
echo "$prefix"
