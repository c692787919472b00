#!/usr/bin/env bash
# Builds the C++ tests and the Python extension with AddressSanitizer and
# UndefinedBehaviorSanitizer (a Debug build, so the store's record invariants
# are asserted too) and runs the whole C++ and Python suites under them.
#   scripts/run_sanitized.sh            # both suites
#   scripts/run_sanitized.sh --cpp-only # the C++ suites alone (what CI runs)
# The build lives in build/sanitize. Any error report fails the run. The
# Python suite runs with $PYTHON (default python3), which needs pytest,
# hypothesis and numpy: tests/run's build/venvs/*/bin/python have them.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build/sanitize

cpp_only=false
[ "${1:-}" = "--cpp-only" ] && cpp_only=true
python=ON
$cpp_only && python=OFF

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
interpreter=$(command -v "${PYTHON:-python3}" || true)
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug -DZEMBRIK_SANITIZE=ON \
  -DZEMBRIK_BUILD_TESTS=ON -DZEMBRIK_BUILD_PYTHON="$python" \
  -DPython_EXECUTABLE="$interpreter" >/dev/null
cmake --build "$build" -j "$(nproc)"

echo "== C++ tests under ASan and UBSan"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$(nproc)"
$cpp_only && exit 0

echo "== Python tests under ASan and UBSan"
# The interpreter is not built with ASan, so its runtime must be loaded
# first. PYTHONMALLOC=malloc lets ASan see every Python object too, so a
# reference the binding drops too early shows as a use after free. Leak
# detection is off because the interpreter keeps memory until exit;
# tests/python/test_leaks.py checks for leaks instead.
cxx=${CXX:-c++}
runtime=$("$cxx" -print-file-name=libasan.so)  # GCC's runtime, else clang's
[ -f "$runtime" ] || runtime=$("$cxx" -print-file-name=libclang_rt.asan-x86_64.so)
LD_PRELOAD="$runtime" ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
  PYTHONMALLOC=malloc PYTHONPATH="$root/$build/src/python" \
  "$interpreter" -m pytest -q -p no:cacheprovider --rootdir=. -c pyproject.toml tests/python
