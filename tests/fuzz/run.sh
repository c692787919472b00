#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) and runs each on
# its committed seed corpus for a while:
#   tests/fuzz/run.sh [seconds-per-target] [target...]
#   tests/fuzz/run.sh --check   # exit status: is clang with libFuzzer installed?
# Targets: blob, op_token, pattern (default: all three, 30 seconds each).
# New inputs go to build/fuzz/corpus/<target>, crashes to build/fuzz/artifacts,
# libFuzzer's output to build/fuzz/logs; the committed seeds are only read.
# Exits 0 with a message when clang is missing.
set -euo pipefail
cd "$(dirname "$0")/../.."

have_libfuzzer() {
  command -v clang++ >/dev/null 2>&1 &&
    [ -f "$(clang++ -print-runtime-dir)/libclang_rt.fuzzer-x86_64.a" ]
}
if [ "${1:-}" = "--check" ]; then
  have_libfuzzer
  exit
fi
if ! have_libfuzzer; then
  echo "== fuzzing skipped: clang++ with libFuzzer is not installed" \
    "(apt-get install clang libclang-rt-14-dev)"
  exit 0
fi

seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(blob op_token pattern)

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
# Optimized but with assertions: the store's checks that every record the
# reader builds is canonical are part of what the fuzzers test.
cmake -S . -B build/fuzz "${generator[@]}" -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g" \
  -DZEMBRIK_BUILD_FUZZ=ON -DZEMBRIK_BUILD_PYTHON=OFF >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

mkdir -p build/fuzz/artifacts build/fuzz/logs
for target in "${targets[@]}"; do
  echo "== fuzzing $target for ${seconds}s"
  mkdir -p "build/fuzz/corpus/$target"
  log="build/fuzz/logs/$target.log"
  # detect_leaks stays on: every run must end without a leak report.
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "build/fuzz/tests/fuzz/fuzz_$target" "build/fuzz/corpus/$target" "tests/fuzz/corpus/$target" \
    -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/artifacts/$target-" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "== fuzzing $target failed; the whole output is in $log"
    exit 1
  fi
  grep -E '^Done|^stat::(number_of_executed_units|peak_rss_mb)' "$log"
done
