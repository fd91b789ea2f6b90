#!/usr/bin/env bash
# Installs what building and testing the Windows programs needs: mingw-w64 (posix threads),
# zlib for mingw, Wine, NSIS and dpkg-dev; and makes the Debian source packages reachable
# (a deb-src entry beside each Debian deb entry), since Qt for Windows is built from them.
# Idempotent.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

PACKAGES=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
          mingw-w64-x86-64-dev libz-mingw-w64-dev wine64 wine nsis dpkg-dev zip unzip
          xvfb xauth xdotool cmake ninja-build qt6-base-dev qt6-base-dev-tools)

need_update=0
src_list=/etc/apt/sources.list.d/arbelon-deb-src.sources
if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
     /etc/apt/sources.list.d/*.sources; then
  # Each deb822 stanza of Debian's archive again, as deb-src; one-line entries likewise.
  tmp=$(mktemp)
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk 'BEGIN { RS=""; ORS="\n\n" } /URIs:[^\n]*debian/ && /Types:[^\n]*deb/ {
           sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$f" >> "$tmp"
  done
  if [ -f /etc/apt/sources.list ]; then
    grep -E '^deb [^#]*debian' /etc/apt/sources.list | sed 's/^deb /deb-src /' > "$tmp.list" || true
    [ -s "$tmp.list" ] && $SUDO cp "$tmp.list" /etc/apt/sources.list.d/arbelon-deb-src.list
    rm -f "$tmp.list"
  fi
  [ -s "$tmp" ] && $SUDO cp "$tmp" "$src_list"
  rm -f "$tmp"
  need_update=1
fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ! apt-cache showsrc qt6-base 2>/dev/null | grep -q '^Version:'; then need_update=1; fi
if [ "$need_update" = 1 ] || [ ${#missing[@]} -gt 0 ]; then $SUDO apt-get update; fi
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
else
  echo "windows setup: all packages present"
fi
