#!/usr/bin/env bash
# Builds the Windows programs on Debian: arbelon-client.exe and arbelon-cli.exe (with the
# stand-in game and the widget-free test suites) into build-windows/bin with every DLL they
# need beside them, then the per-user installer build-windows/arbelon-setup-VERSION.exe and
# the zip build-windows/arbelon-VERSION-windows.zip of the same files.
#
# Qt for Windows is built once from Debian's qt6-base source into a cache outside the checkout
# (tools/windows/qt.sh; ARBELON_QT_WINDOWS_CACHE names it). Warnings are errors, as in CI.
# Environment: BUILD_DIR (default build-windows), JOBS (default 2).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
BUILD_DIR=${BUILD_DIR:-build-windows}

bash tools/windows/setup.sh
qt=$(bash tools/windows/qt.sh | tail -n 1)
version=$(sed -n 's/^project(Arbelon VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

# ctest runs the Windows test programs through Wine.
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine)
cmake -S . -B "$BUILD_DIR" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$qt/lib/cmake/Qt6/qt.toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DARBELON_WERROR=ON \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$wine"
cmake --build "$BUILD_DIR" -j"${JOBS:-2}"

stage="$root/$BUILD_DIR/package/arbelon-$version"
rm -rf "$root/$BUILD_DIR/package"
cmake --install "$BUILD_DIR" --prefix "$stage" >/dev/null
x86_64-w64-mingw32-strip "$stage"/*.exe "$stage"/*.dll "$stage"/*/*.dll
setup="$root/$BUILD_DIR/arbelon-setup-$version.exe"
makensis -V2 -DVERSION="$version" -DSOURCE="$stage" -DOUTFILE="$setup" packaging/windows/installer.nsi
zip="$root/$BUILD_DIR/arbelon-$version-windows.zip"
rm -f "$zip"
(cd "$root/$BUILD_DIR/package" && zip -qr "$zip" "arbelon-$version")
echo "windows build: $BUILD_DIR/bin/arbelon-client.exe, $BUILD_DIR/bin/arbelon-cli.exe"
echo "windows build: $(realpath --relative-to="$root" "$setup") and $(realpath --relative-to="$root" "$zip")"
