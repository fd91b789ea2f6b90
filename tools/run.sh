#!/usr/bin/env bash
# Sets up the machine, builds Arbelon and starts the client.
# Environment: BUILD_DIR picks the build folder (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo}
cmake --build "$BUILD_DIR" -j"${JOBS:-2}" --target arbelon-client

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run: built $BUILD_DIR/bin/arbelon-client, but there is no display to show it on"
  echo "run: start it from a desktop session, or under Xvfb: xvfb-run -a $BUILD_DIR/bin/arbelon-client"
  exit 0
fi
exec "$BUILD_DIR/bin/arbelon-client"
