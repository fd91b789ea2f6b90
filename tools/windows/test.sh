#!/usr/bin/env bash
# The Windows programs under Wine, each step against real Windows objects of a prefix of its
# own (made with WINEDLLOVERRIDES=mscoree,mshtml= so that Wine never looks for Mono or Gecko)
# and an Xvfb display of its own:
#  1. the widget-free suites and the platform suite, built for Windows (ctest in build-windows);
#  2. arbelon-cli.exe watching a Linux Filmer's demo through the Linux relay on loopback, and
#     filming the Windows stand-in game (a window titled "Quake 3: Arena", a CR LF console
#     log) for a Linux Viewer: both demos arrive byte-identical;
#  3. arbelon-client.exe's first start: its window comes up with its caption, and the name
#     typed in and the other settings are in the registry with their types after it closes;
#  4. the installer: a silent install, the programs start from there, the uninstaller takes
#     the programs and the arbelon:// keys away and leaves the settings.
# Needs build/ (tools/test.sh: the relay and the Linux client) and build-windows/
# (tools/windows/build.sh). Environment: BUILD_DIR, WINDOWS_BUILD_DIR, STEPS (e.g. "1 2").
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
LIN=$root/${BUILD_DIR:-build}
WIN=$root/${WINDOWS_BUILD_DIR:-build-windows}
STEPS=${STEPS:-1 2 3 4}
version=$(sed -n 's/^project(Arbelon VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
caption="Arbelon Client version ${version%.*}"   # the caption names major.minor

work=$(mktemp -d /tmp/arbelon-wine.XXXXXX)
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

say() { echo "windows test: $*"; }
fail() { echo "windows test: FAILED: $*" >&2; for f in "$work"/*.out "$work"/*.log; do [ -f "$f" ] && { echo "--- $f" >&2; tail -n 30 "$f" >&2; }; done; exit 1; }
# Z:\ is the Unix root in every Wine prefix.
winpath() { local p=${1//\//\\}; echo "Z:$p"; }
# Waits up to $1 seconds for the command after it to succeed.
# Whether the one demo in folder $1 has the source's size.
arrived() { local f; f=$(ls "$1"/*.dm3 2>/dev/null | head -n 1); [ -n "$f" ] && [ "$(stat -c %s "$f")" = "$size" ]; }
waitfor() {
  local limit=$1; shift
  for ((i = 0; i < limit * 5; i++)); do "$@" && return 0; sleep 0.2; done
  return 1
}

Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
waitfor 20 test -s "$work/display" || fail "Xvfb did not start"
export DISPLAY=:$(head -n 1 "$work/display")
say "Wine prefix $WINEPREFIX on display $DISPLAY"
timeout 300 wineboot -i >"$work/wineboot.log" 2>&1 || fail "wineboot"
# The build's DLLs for every program started from the build folder.
export WINEPATH=$(winpath "$WIN/bin")

step() { [[ " $STEPS " == *" $1 "* ]]; }

# ---- 1. suites -------------------------------------------------------------------------
if step 1; then
  say "1. the suites built for Windows"
  rm -f "$WIN"/testlogs/*.txt
  if ! (cd "$WIN" && ARBELON_TEST_REGISTRY=1 ctest --output-on-failure -j"${JOBS:-2}" --timeout 300); then
    for log in "$WIN"/testlogs/*.txt; do
      grep -q "^FAIL!\|^QFATAL" "$log" 2>/dev/null && { echo "--- $log"; grep -v "^PASS\|^SKIP" "$log"; }
    done
    fail "the Windows suites"
  fi
fi

# ---- 2. watching and filming against the Linux relay -------------------------------------
addr=127.$(( ($$ >> 8) % 200 + 20 )).$(( $$ % 250 + 1 )).$(( RANDOM % 250 + 1 ))
port_open() { (exec 3<>"/dev/tcp/$addr/38963") 2>/dev/null; }
if step 2; then
  say "2. arbelon-cli.exe against the relay on $addr"
  "$LIN/bin/arbelon-sample-demo" --size 300000 "$work/source.dm3" >/dev/null 2>&1 \
    || head -c 300000 /dev/urandom >"$work/source.dm3"
  size=$(stat -c %s "$work/source.dm3")
  "$LIN/bin/arbelon-relay" --listen "$addr" --http off 2>"$work/relay.log" &
  pids+=($!)
  waitfor 20 port_open || fail "the relay did not start"

  # 2a. A Linux Filmer, the Windows Viewer.
  mkdir -p "$work/lfilm/baseq3" "$work/wview/baseq3"
  cp "$LIN/bin/arbelon-standin-game" "$work/lfilm/quake3.exe"
  "$LIN/bin/arbelon-cli" film --server "$addr" --name LINUXFILM --game 3 --dir "$work/lfilm/" --rate 8000 \
    >"$work/lfilm.out" 2>&1 &
  lfilm=$!; pids+=($lfilm)
  waitfor 30 grep -qs "in the lobby" "$work/lfilm.out" || fail "the Linux Filmer did not reach its lobby"
  wine "$WIN/bin/arbelon-cli.exe" watch --server "$addr" --game LINUXFILM \
    --quake2-dir "$(winpath "$work/wview")\\" --quake3-dir "$(winpath "$work/wview")\\" >"$work/wview.out" 2>&1 &
  wview=$!; pids+=($wview)
  waitfor 60 grep -qs "in the lobby" "$work/wview.out" || fail "the Windows Viewer did not reach the lobby"
  (cd "$work/lfilm" && exec ./quake3.exe --source "$work/source.dm3" --rate 60000 --block 4000 \
     --name linux --delay-start 2000 --linger 60000 >"$work/lgame.out" 2>&1) &
  lgame=$!; pids+=($lgame)
  waitfor 120 arrived "$work/wview/baseq3/demos" || fail "the Windows Viewer's demo did not arrive whole"
  cmp "$work/source.dm3" "$(ls "$work"/wview/baseq3/demos/*.dm3 | head -n 1)" || fail "the Windows Viewer's demo differs"
  say "2a. the Linux Filmer's demo is byte-identical in the Windows Viewer's demos folder"
  kill "$lgame" 2>/dev/null || true
  kill -INT "$lfilm"
  waitfor 30 bash -c "! kill -0 $wview 2>/dev/null" || fail "the Windows Viewer did not end with the game"
  wait "$wview" || fail "the Windows Viewer ended with status $?"

  # 2b. The Windows Filmer and its stand-in game (with its window), a Linux Viewer.
  mkdir -p "$work/wfilm/baseq3" "$work/lview/baseq3"
  cp "$WIN/bin/arbelon-standin-game.exe" "$work/wfilm/quake3.exe"
  wine "$WIN/bin/arbelon-cli.exe" film --server "$addr" --name WINFILM --game 3 \
    --dir "$(winpath "$work/wfilm")\\" --rate 8000 >"$work/wfilm.out" 2>&1 &
  wfilm=$!; pids+=($wfilm)
  waitfor 60 grep -qs "in the lobby" "$work/wfilm.out" || fail "the Windows Filmer did not reach its lobby"
  "$LIN/bin/arbelon-cli" watch --server "$addr" --game WINFILM --quake2-dir "$work/lview/" \
    --quake3-dir "$work/lview/" >"$work/lview.out" 2>&1 &
  lview=$!; pids+=($lview)
  waitfor 30 grep -qs "in the lobby" "$work/lview.out" || fail "the Linux Viewer did not reach the lobby"
  (cd "$work/wfilm" && QT_QPA_PLATFORM=windows exec wine ./quake3.exe --source "$(winpath "$work/source.dm3")" \
     --rate 60000 --block 4000 --name wine --delay-start 3000 --linger 60000 >"$work/wgame.out" 2>&1) &
  wgame=$!; pids+=($wgame)
  waitfor 150 arrived "$work/lview/baseq3/demos" || fail "the Windows Filmer's demo did not arrive whole"
  cmp "$work/source.dm3" "$(ls "$work"/lview/baseq3/demos/*.dm3 | head -n 1)" || fail "the Windows Filmer's upload differs"
  grep -q $'\r$' "$work/wfilm/baseq3/qconsole.log" || fail "the stand-in's console log has no CR LF lines"
  say "2b. the Windows Filmer's upload is byte-identical at the Linux Viewer (console log in CR LF lines)"
  kill "$wgame" "$wfilm" 2>/dev/null || true
  waitfor 30 bash -c "! kill -0 $lview 2>/dev/null" || fail "the Linux Viewer did not end with the game"
fi

# ---- 3. the window's first start ------------------------------------------------------------
regvalue() { wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | awk -v n="$2" '$1 == n { print $2, $3 }'; }
if step 3; then
  say "3. arbelon-client.exe's first start"
  QT_QPA_PLATFORM=windows wine "$WIN/bin/arbelon-client.exe" >"$work/client.out" 2>&1 &
  client=$!; pids+=($client)
  prompt=$(timeout 90 xdotool search --sync --name "^Enter user name$" | head -n 1) || fail "no user-name prompt"
  xdotool windowfocus --sync "$prompt" type --delay 50 "winetester"
  xdotool key Return
  main=$(timeout 60 xdotool search --sync --onlyvisible --name "^${caption//./\\.}\$" | head -n 1) \
    || fail "no window captioned \"$caption\""
  say "3. the window is up: \"$(xdotool getwindowname "$main")\""
  # taskkill without /f asks the window to close (WM_CLOSE), as the close box does.
  wine taskkill /im arbelon-client.exe >/dev/null 2>&1 || true
  waitfor 30 bash -c "! kill -0 $client 2>/dev/null" || fail "the client did not end when asked to close"
  [ "$(regvalue 'HKCU\Arbelon Client\Setup' UserNameEdit)" = "REG_SZ winetester" ] \
    || fail "UserNameEdit is not REG_SZ winetester: $(regvalue 'HKCU\Arbelon Client\Setup' UserNameEdit)"
  [ "$(regvalue 'HKCU\Arbelon Client\Setup' TransferRateSpin)" = "REG_DWORD 0xbb8" ] \
    || fail "TransferRateSpin is not REG_DWORD 0xbb8: $(regvalue 'HKCU\Arbelon Client\Setup' TransferRateSpin)"
  [ "$(regvalue 'HKCU\Arbelon\Common' GamesListBoxClient | cut -d' ' -f1)" = "REG_SZ" ] \
    || fail "GamesListBoxClient is not a REG_SZ"
  say "3. wine reg query: UserNameEdit REG_SZ, TransferRateSpin REG_DWORD, GamesListBoxClient REG_SZ"
fi

# ---- 4. the installer -------------------------------------------------------------------
if step 4; then
  say "4. the installer"
  setup="$WIN/arbelon-setup-$version.exe"
  [ -f "$setup" ] || fail "no installer $setup"
  ( unset WINEPATH; timeout 180 wine "$setup" /S ) || fail "the silent install"
  local_app=$(wine cmd /c echo %LOCALAPPDATA% 2>/dev/null | tr -d '\r')
  inst=$(winepath -u "$local_app\\Programs\\Arbelon" 2>/dev/null | tr -d '\r')
  for f in arbelon-client.exe arbelon-cli.exe uninstall.exe Qt6Core.dll zlib1.dll platforms/qwindows.dll; do
    [ -f "$inst/$f" ] || fail "the install lacks $f"
  done
  # (--version would answer in a message box: Qt's way where no console window is.)
  out=$( unset WINEPATH; timeout 60 wine "$inst/arbelon-cli.exe" engines 2>&1 | tr -d '\r' ) || fail "the installed arbelon-cli.exe"
  [[ "$out" == *"openarena"* ]] || fail "the installed arbelon-cli.exe says: $out"
  wine reg query 'HKCU\Software\Classes\arbelon\shell\open\command' 2>/dev/null | grep -q 'arbelon-client.exe' \
    || fail "arbelon:// is not registered"
  say "4. installed in $local_app\\Programs\\Arbelon; arbelon-cli.exe runs from there; arbelon:// registered"
  ( unset WINEPATH; timeout 120 wine "$inst/uninstall.exe" /S ) || fail "the silent uninstall"
  waitfor 60 test ! -e "$inst/arbelon-client.exe" || fail "the uninstaller left the programs"
  if wine reg query 'HKCU\Software\Classes\arbelon' >/dev/null 2>&1; then fail "the uninstaller left arbelon://"; fi
  if step 3; then
    [ -n "$(regvalue 'HKCU\Arbelon Client\Setup' UserNameEdit)" ] || fail "the uninstaller took the settings"
  fi
  say "4. uninstalled: programs and arbelon:// keys gone, settings kept"
fi
say "all steps passed ($STEPS)"
