#!/usr/bin/env bash
# Installs every Debian package that building, testing and running Arbelon needs.
# Idempotent: packages already present are left alone.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev libgl-dev
  qt6-httpserver-dev qt6-websockets-dev
  zlib1g-dev
  xvfb xauth x11-utils xdotool libxcb1-dev
  clang libclang-rt-14-dev llvm
  libtsan2
  procps
  openarena
  nats-server libnats-dev
  chromium xdg-utils desktop-file-utils
  prometheus               # its promtool checks the relay's /metrics text
)

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
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
