#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs one of them, or all in turn.
#
#   bash tools/fuzz.sh                      lists the targets
#   bash tools/fuzz.sh <target> [seconds]   runs one target (default 600 s)
#   bash tools/fuzz.sh all [seconds]        runs every target for that long, one after another
#   FUZZ_RUNS=10500000 bash tools/fuzz.sh <target>
#                                           the long run: that many executions, in processes of
#                                           at most a million each (a fresh process stays fast),
#                                           all sharing one corpus; no time limit
#
# The timed runs build with AddressSanitizer and UndefinedBehaviorSanitizer (build-fuzz). The
# long run builds with LeakSanitizer and trapping undefined-behaviour checks (build-fuzz-long):
# three to five times faster, so ten million executions fit in an hour or two per target, and
# still a failure for every leak, crash or undefined operation. FUZZ_SANITIZERS picks others.
#
# Environment: FUZZ_BUILD_DIR, FUZZ_SANITIZERS, FUZZ_RSS_MB (default 2560), FUZZ_TIMEOUT
# (seconds for one input, default 25), FUZZ_ARGS (more libFuzzer flags). The growing corpus
# is kept in <build>/corpus/<target>, inputs that fail in <build>/artifacts/<target>/, the
# output in <build>/fuzz_<target>.log. The seed corpora in tests/fuzz/<target>/ are only read.
set -euo pipefail
cd "$(dirname "$0")/.."

TARGETS=(client_receive relay_connection regfile regfile_speed consolelog cluster_message http_request q3demo q2demo)
if [ $# -lt 1 ]; then
  echo "usage: $0 <target>|all [seconds]"
  echo "targets: ${TARGETS[*]}"
  exit 2
fi
WHICH=$1
SECONDS_EACH=${2:-600}
if [ -n "${FUZZ_RUNS:-}" ]; then
  SANITIZERS=${FUZZ_SANITIZERS:-leak,undefined}
  BUILD=${FUZZ_BUILD_DIR:-build-fuzz-long}
else
  SANITIZERS=${FUZZ_SANITIZERS:-address,undefined}
  BUILD=${FUZZ_BUILD_DIR:-build-fuzz}
fi
CHUNK=${FUZZ_CHUNK:-1000000}

if [ "$WHICH" = all ]; then
  selected=("${TARGETS[@]}")
else
  selected=("$WHICH")
  case " ${TARGETS[*]} " in
    *" $WHICH "*) ;;
    *) echo "unknown target $WHICH (targets: ${TARGETS[*]})"; exit 2 ;;
  esac
fi

bash tools/setup.sh --tests
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DARBELON_FUZZ=ON -DARBELON_SANITIZE=ON -DARBELON_SANITIZERS="$SANITIZERS" -DARBELON_WERROR=OFF
fi
cmake --build "$BUILD" -j"${JOBS:-2}" --target fuzzers

# Scratch files of the targets go to a RAM disk where there is one.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export QT_QPA_PLATFORM=offscreen

# Flags of one target. The relay target's inputs drive real sockets step by step: with inputs up to 90 KiB it ran at
# a quarter of the speed; its limits are set so that 8 KiB inputs reach them.
# regfile_speed checks the processor time of each input itself (0.5 s); the time-out is the
# backstop for an input that never ends.
flags_of() {
  case $1 in
    relay_connection) echo "-max_len=8192" ;;
    regfile_speed) echo "-timeout=2" ;;
  esac
}

# One fuzzer process; its log is appended to <build>/fuzz_<target>.log. Extra flags follow.
run_once() {
  local t=$1
  shift
  # shellcheck disable=SC2086
  "$BUILD/bin/fuzz_$t" -rss_limit_mb="${FUZZ_RSS_MB:-2560}" -timeout="${FUZZ_TIMEOUT:-25}" \
    -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$t/" $(flags_of "$t") ${FUZZ_ARGS:-} "$@" \
    "$BUILD/corpus/$t" "tests/fuzz/$t" 2> "$BUILD/fuzz_$t.last.log"
  local rc=$?
  cat "$BUILD/fuzz_$t.last.log" >> "$BUILD/fuzz_$t.log"
  return $rc
}

executed() {
  local n
  n=$(grep -m1 '^stat::number_of_executed_units' "$BUILD/fuzz_$1.last.log" | awk '{print $2}')
  echo "${n:-0}"
}

status=0
for t in "${selected[@]}"; do
  mkdir -p "$BUILD/corpus/$t" "$BUILD/artifacts/$t"
  : > "$BUILD/fuzz_$t.log"
  start=$(date +%s)
  total=0
  ok=1
  if [ -n "${FUZZ_RUNS:-}" ]; then
    echo "== fuzz_$t for $FUZZ_RUNS executions"
    while [ "$total" -lt "$FUZZ_RUNS" ]; do
      left=$((FUZZ_RUNS - total))
      if ! run_once "$t" -runs=$((left < CHUNK ? left : CHUNK)); then ok=0; fi
      total=$((total + $(executed "$t")))
      [ "$ok" = 1 ] || break
    done
  else
    echo "== fuzz_$t for ${SECONDS_EACH}s"
    if ! run_once "$t" -max_total_time="$SECONDS_EACH"; then ok=0; fi
    total=$(executed "$t")
  fi
  if [ "$ok" = 0 ]; then
    status=1
    echo "fuzz_$t FAILED; last lines of $BUILD/fuzz_$t.log:"
    tail -n 60 "$BUILD/fuzz_$t.log"
  fi
  echo "fuzz_$t: $total executions in $(( $(date +%s) - start )) s," \
    "corpus $(find "$BUILD/corpus/$t" -type f | wc -l) files," \
    "peak RSS $(grep '^stat::peak_rss_mb' "$BUILD/fuzz_$t.log" | awk '{print $2}' | sort -n | tail -1) MB"
done
exit $status
