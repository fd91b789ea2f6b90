#!/usr/bin/env bash
# Installs the Debian packages that building and running Arbelon need; with --tests also those
# that only its tests and CI use (browsers, sanitizer and fuzz compilers, the real engine, ...).
# Idempotent: packages already present are left alone. Needs no terminal: apt runs without
# questions, so it works under CI=true and with stdin closed.
#
#   bash tools/setup.sh           what tools/run.sh needs
#   bash tools/setup.sh --tests   everything: what tools/test.sh and .ci/run need
set -euo pipefail

TESTS=0
for arg in "$@"; do
  case "$arg" in
    --tests) TESTS=1 ;;
    -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
    *) echo "setup: unknown option $arg (only --tests)" >&2; exit 2 ;;
  esac
done

# Building the three programs (the relay with its web page and cluster, the X11 window search)
# and running them.
PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev libgl-dev
  qt6-httpserver-dev qt6-websockets-dev
  zlib1g-dev
  libxcb1-dev
  libnats-dev
  libsqlite3-dev          # the relay's archive index
)
# The tests and CI alone.
TEST_PACKAGES=(
  xvfb xauth x11-utils xdotool
  clang libclang-rt-14-dev llvm
  libtsan2
  procps
  openarena
  nats-server openssl     # openssl: the cluster suite's TLS certificates
  chromium xdg-utils desktop-file-utils
  prometheus               # its promtool checks the relay's /metrics text
)
if [ "$TESTS" = 1 ]; then PACKAGES+=("${TEST_PACKAGES[@]}"); fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update </dev/null
$SUDO apt-get install -y --no-install-recommends "${missing[@]}" </dev/null
