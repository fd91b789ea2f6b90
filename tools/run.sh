#!/usr/bin/env bash
# Sets up the machine, builds Arbelon and runs a whole local session: a relay on 127.0.0.1,
# a Filmer (arbelon-cli film) filming the stand-in game while it records a sample demo, and
# a Viewer: the client window when there is a display, otherwise arbelon-cli watch, which
# prints the progress and ends when the demo has arrived.
#
# Environment: BUILD_DIR picks the build folder (default build); ARBELON_RUN_HEADLESS=1 runs
# the headless session even with a display; SAMPLE_SIZE sets the sample demo's size in bytes.
# Everything that this script starts ends when it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

bash tools/setup.sh
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}"
cmake --build "$BUILD_DIR" -j"${JOBS:-2}" --target \
  arbelon-relay arbelon-cli arbelon-client arbelon-standin-game arbelon-sample-demo
BIN=$ROOT/$BUILD_DIR/bin

HEADLESS=0
if [ -z "${DISPLAY:-}" ] || [ "${ARBELON_RUN_HEADLESS:-0}" = 1 ]; then HEADLESS=1; fi
SERVER=127.0.0.1
GAME_NAME="Sample duel"
SAMPLE_SIZE=${SAMPLE_SIZE:-300000}

say() { printf 'run: %s\n' "$*"; }
die() { printf 'run: %s\n' "$*" >&2; exit 1; }

# ---- the demo area: made afresh each time, inside the build folder --------------------
DEMO=$ROOT/$BUILD_DIR/demo-run
rm -rf "$DEMO"
FILM_GAME=$DEMO/filmer-game    # the game being filmed: the stand-in as quake2.exe
VIEW_GAME=$DEMO/viewer-game    # the Viewer's game: demos arrive in baseq2/demos
CONFIG=$DEMO/config            # XDG_CONFIG_HOME of the client: not the user's own settings
LOGS=$DEMO/logs
SAMPLE=$DEMO/sample.dm2
mkdir -p "$FILM_GAME" "$VIEW_GAME" "$CONFIG/Arbelon" "$LOGS"
cp "$BIN/arbelon-standin-game" "$FILM_GAME/quake2.exe"
cp "$BIN/arbelon-standin-game" "$VIEW_GAME/quake2.exe"
"$BIN/arbelon-sample-demo" --size "$SAMPLE_SIZE" "$SAMPLE"

# ---- children: every one is stopped when the script ends, however it ends --------------
PIDS=()
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  local pid
  for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for _ in $(seq 1 30); do
    local alive=0
    for pid in "${PIDS[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
    [ "$alive" = 0 ] && break
    sleep 0.1
  done
  for pid in "${PIDS[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  # Games that the client started from the demo area (a double-clicked demo).
  local exe
  for exe in /proc/[0-9]*/exe; do
    case "$(readlink "$exe" 2>/dev/null)" in
      "$FILM_GAME"/quake2.exe|"$VIEW_GAME"/quake2.exe)
        pid=${exe#/proc/}; kill -TERM "${pid%/exe}" 2>/dev/null || true ;;
    esac
  done
  wait 2>/dev/null || true
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Runs a command in the background with its output in a log and, prefixed, on the terminal.
# Sets STARTED to its process id.
start_logged() {
  local tag=$1 log=$2
  shift 2
  # The log exists before anything reads it: tee would make it only once it runs.
  : > "$log"
  "$@" > >(tee "$log" | sed -u "s/^/  $tag | /") 2>&1 &
  STARTED=$!
  PIDS+=("$STARTED")
}

# Waits until a log holds a line matching the pattern; returns 1 when the process ends
# first and 2 when the time runs out.
wait_for_line() {
  local log=$1 pattern=$2 pid=$3 seconds=$4
  for _ in $(seq 1 $((seconds * 10))); do
    grep -q -- "$pattern" "$log" 2>/dev/null && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 2
}

START=$(date +%s)

# ---- the relay ------------------------------------------------------------------------
"$BIN/arbelon-relay" --listen "$SERVER" > "$LOGS/relay.log" 2>&1 &
RELAY=$!
PIDS+=("$RELAY")
if ! wait_for_line "$LOGS/relay.log" "listening viewer=" "$RELAY" 10; then
  cat "$LOGS/relay.log" >&2 || true
  die "the relay could not start on $SERVER (ports 38962/38963 in use by another relay?)"
fi
say "relay: $(grep -m1 'listening viewer=' "$LOGS/relay.log" | sed 's/^[^ ]* //')"

# ---- the Filmer -----------------------------------------------------------------------
start_logged film "$LOGS/film.log" "$BIN/arbelon-cli" film --server "$SERVER" \
  --name "$GAME_NAME" --game 2 --dir "$FILM_GAME" --user filmer --rate 10000
FILM=$STARTED
# The Filmer writes the game's autoexec.cfg when it enters the lobby; the game reads it at
# its start, so it starts after that.
wait_for_line "$LOGS/film.log" "in the lobby" "$FILM" 20 \
  || die "arbelon-cli film did not reach the lobby; its log: $LOGS/film.log"

# ---- the game being filmed: the stand-in records the sample -------------------------------
# The Filmer reads only what the console log gets after it first opens it (at its first scan
# while the game runs): the recording starts a little later.
start_logged game "$LOGS/game.log" bash -c 'cd "$1" && shift && exec ./quake2.exe "$@"' game \
  "$FILM_GAME" --source "$SAMPLE" --rate 25000 --block 5000 --name sample_duel \
  --delay-start 3000 --linger 5000
GAME=$STARTED

if [ "$HEADLESS" = 1 ]; then
  say "no display (DISPLAY is empty): a headless Viewer (arbelon-cli watch) receives the game"
  start_logged watch "$LOGS/watch.log" "$BIN/arbelon-cli" watch --server "$SERVER" \
    --game "$GAME_NAME" --quake2-dir "$VIEW_GAME" --quake3-dir "$VIEW_GAME" --user viewer
  WATCH=$STARTED

  # The demo is complete when the received file is as long as the sample.
  received=""
  for _ in $(seq 1 1800); do
    if [ -z "$received" ]; then
      received=$(sed -n 's/^receiving demo //p' "$LOGS/watch.log" | head -n1)
    fi
    if [ -n "$received" ] && [ -f "$received" ] \
       && [ "$(stat -c %s "$received")" -ge "$SAMPLE_SIZE" ]; then
      break
    fi
    kill -0 "$WATCH" 2>/dev/null || die "arbelon-cli watch ended early; its log: $LOGS/watch.log"
    sleep 0.1
  done
  [ -n "$received" ] && [ -f "$received" ] || die "no demo arrived; logs in $LOGS"

  # Ending the Filmer ends the game on the relay, and the Viewer then ends by itself.
  kill -INT "$FILM" 2>/dev/null || true
  watch_status=0
  for _ in $(seq 1 200); do kill -0 "$WATCH" 2>/dev/null || break; sleep 0.1; done
  wait "$WATCH" || watch_status=$?
  kill -0 "$GAME" 2>/dev/null && kill -TERM "$GAME" 2>/dev/null || true

  size=$(stat -c %s "$received")
  if cmp -s "$SAMPLE" "$received"; then same=yes; else same=no; fi
  say "received demo: $received"
  say "size: $size bytes (sample: $SAMPLE_SIZE bytes)"
  say "byte-identical to the sample: $same"
  say "arbelon-cli watch ended with status $watch_status"
  say "done in $(( $(date +%s) - START )) s; logs in $LOGS"
  [ "$same" = yes ] && [ "$watch_status" = 0 ]
  exit $?
fi

# ---- with a display: the client window is the Viewer ----------------------------------
reg_string() { printf '%s' "$1" | sed 's/\\/\\\\/g; s/"/\\"/g'; }
{
  printf 'Windows Registry Editor Version 5.00\r\n\r\n'
  printf '[HKEY_CURRENT_USER\\Arbelon Client\\Setup]\r\n'
  printf '"ServerIP"="%s"\r\n' "$SERVER"
  printf '"UserNameEdit"="%s"\r\n' "viewer"
  printf '"TransferRateSpin"=dword:00002710\r\n'
  printf '"ModTypeSystem"="baseq2"\r\n'
  printf '"GameTypeSystem"=dword:00000000\r\n'
  printf '"Quake2DirectoryEdit"="%s/"\r\n' "$(reg_string "$VIEW_GAME")"
  printf '"Quake3DirectoryEdit"=""\r\n'
} > "$CONFIG/Arbelon/settings.reg"

say "the client window opens with its settings in $CONFIG (your own settings are not touched)"
say "to watch: Connect, choose Viewer, OK; select \"$GAME_NAME\", Watch Game;"
say "double-click the demo in the lobby to play it in the stand-in game (window \"Quake 2\")"
say "close the client window to end everything"
XDG_CONFIG_HOME=$CONFIG "$BIN/arbelon-client" > "$LOGS/client.log" 2>&1 &
CLIENT=$!
PIDS+=("$CLIENT")
client_status=0
wait "$CLIENT" || client_status=$?
if [ -f "$VIEW_GAME/standin-launch.log" ]; then
  say "the Viewer started the game $(grep -c . "$VIEW_GAME/standin-launch.log") time(s); record: $VIEW_GAME/standin-launch.log"
fi
say "client closed (status $client_status); demos received: $(ls "$VIEW_GAME/baseq2/demos" 2>/dev/null | tr '\n' ' ')"
exit 0
