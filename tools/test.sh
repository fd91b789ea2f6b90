#!/usr/bin/env bash
# Sets up the machine, builds Arbelon and runs the whole test suite through ctest.
# Environment: ARBELON_WERROR=ON turns warnings into errors; BUILD_DIR picks the build folder;
# ARBELON_SANITIZE=ON builds with ASan and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh --tests
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} \
  -DARBELON_WERROR=${ARBELON_WERROR:-OFF} -DARBELON_SANITIZE=${ARBELON_SANITIZE:-OFF}
cmake --build "$BUILD_DIR" -j"${JOBS:-2}"
cd "$BUILD_DIR"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"${JOBS:-2}" ${CTEST_ARGS:-}
