#!/usr/bin/env bash
# Runs the engine's test programs under valgrind memcheck (slow: about 10-15
# minutes on two cores, most of it in the language tests).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/deps.sh"
bash "$root/scripts/deps.sh" valgrind
build="$root/build/memcheck"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQO_BENCHMARKS=OFF >/dev/null
ninja -C "$build" qo_platform_tests qo_core_internal_tests qo_core_api_tests qo_lang_tests
for prog in platform/qo_platform_tests engine/core/tests/qo_core_internal_tests \
            engine/core/tests/qo_core_api_tests engine/lang/tests/qo_lang_tests; do
  echo "=== memcheck $prog"
  valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect -q "$build/$prog" >/dev/null
done
echo "memcheck clean"
