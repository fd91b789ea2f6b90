#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs one of them, or all in turn.
#
#   bash tools/fuzz.sh                      lists the targets
#   bash tools/fuzz.sh <target> [seconds]   runs one target (default 600 s)
#   bash tools/fuzz.sh all [seconds]        runs every target for that long, one after another
#
# Environment: FUZZ_BUILD_DIR (default build-fuzz), FUZZ_RSS_MB (default 2560), FUZZ_TIMEOUT
# (seconds for one input, default 25), FUZZ_ARGS (more libFuzzer flags). The growing corpus
# is kept in <build>/corpus/<target>, inputs that fail in <build>/artifacts/<target>/.
# The seed corpora live in tests/fuzz/<target>/ and are never written.
set -euo pipefail
cd "$(dirname "$0")/.."

TARGETS=(client_receive relay_connection regfile consolelog)
if [ $# -lt 1 ]; then
  echo "usage: $0 <target>|all [seconds]"
  echo "targets: ${TARGETS[*]}"
  exit 2
fi
WHICH=$1
SECONDS_EACH=${2:-600}
BUILD=${FUZZ_BUILD_DIR:-build-fuzz}

if [ "$WHICH" = all ]; then
  selected=("${TARGETS[@]}")
else
  selected=("$WHICH")
  case " ${TARGETS[*]} " in
    *" $WHICH "*) ;;
    *) echo "unknown target $WHICH (targets: ${TARGETS[*]})"; exit 2 ;;
  esac
fi

bash tools/setup.sh
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DARBELON_FUZZ=ON -DARBELON_SANITIZE=ON -DARBELON_WERROR=OFF
fi
cmake --build "$BUILD" -j"${JOBS:-2}" --target fuzzers

# Scratch files of the targets go to a RAM disk where there is one.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export QT_QPA_PLATFORM=offscreen

status=0
for t in "${selected[@]}"; do
  corpus="$BUILD/corpus/$t"
  artifacts="$BUILD/artifacts/$t/"
  mkdir -p "$corpus" "$artifacts"
  echo "== fuzz_$t for ${SECONDS_EACH}s"
  # shellcheck disable=SC2086
  if ! "$BUILD/bin/fuzz_$t" -max_total_time="$SECONDS_EACH" -rss_limit_mb="${FUZZ_RSS_MB:-2560}" \
      -timeout="${FUZZ_TIMEOUT:-25}" -print_final_stats=1 -artifact_prefix="$artifacts" \
      ${FUZZ_ARGS:-} "$corpus" "tests/fuzz/$t" 2> "$BUILD/fuzz_$t.log"; then
    status=1
    echo "fuzz_$t FAILED; last lines of $BUILD/fuzz_$t.log:"
    tail -n 60 "$BUILD/fuzz_$t.log"
  fi
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' \
    "$BUILD/fuzz_$t.log" || true
  echo "corpus: $(find "$corpus" -type f | wc -l) files"
done
exit $status
