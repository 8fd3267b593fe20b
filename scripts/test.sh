#!/usr/bin/env bash
# Builds and runs every test: once optimised, once under AddressSanitizer and
# UndefinedBehaviorSanitizer. Fails on the first failing test run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/deps.sh"
jobs="$(nproc)"

run_suite() {
  local name="$1"; shift
  local build="$root/build/$name"
  echo "=== $name build"
  cmake -S "$root" -B "$build" -G Ninja "$@" >/dev/null
  ninja -C "$build" -j"$jobs"
  echo "=== $name tests"
  (cd "$build" && ctest --output-on-failure -j"$jobs")
}

run_suite release -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS=suppressions="$root/ext-win/lsan.supp":print_suppressions=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite sanitize -DCMAKE_BUILD_TYPE=Debug -DQO_SANITIZE=ON -DQO_BENCHMARKS=OFF
echo "all test runs passed"
