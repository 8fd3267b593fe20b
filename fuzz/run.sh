#!/usr/bin/env bash
# Builds the fuzz targets (clang-14 libFuzzer with AddressSanitizer and UBSan)
# and runs each of them for SECONDS seconds, one after the other, one job each.
#
#   fuzz/run.sh SECONDS [TARGET...]     default: every target
#   fuzz/run.sh --smoke                 CI: every target for 20 s (about two and a half minutes in all)
#
# Build directory: $QO_FUZZ_BUILD, default build/fuzz. The corpus a run grows
# is kept in <build>/corpus/<target> and used again by the next run; the seeds
# (made from the script tests) are written afresh to <build>/seeds. A crash, a
# leak or a hang leaves its input in <build>/artifacts/<target>/ and the script
# fails. Extra libFuzzer flags can be given in $QO_FUZZ_FLAGS.
set -euo pipefail
seconds="${1:?usage: fuzz/run.sh SECONDS|--smoke [TARGET...]}"
shift
[ "$seconds" = "--smoke" ] && seconds=20
case "$seconds" in
  ''|*[!0-9]*) echo "usage: fuzz/run.sh SECONDS|--smoke [TARGET...]" >&2; exit 2 ;;
esac
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QO_FUZZ_BUILD:-$root/build/fuzz}"

bash "$root/scripts/deps.sh" clang-14 libclang-rt-14-dev cmake ninja-build python3

cmake -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
ninja -C "$build" -j"${QO_FUZZ_BUILD_JOBS:-2}"
python3 "$root/fuzz/make_corpus.py" "$build/seeds"

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=(qocom_fuzz qocal_fuzz objects_fuzz text_format_fuzz regex_compile_fuzz regex_match_fuzz)
  [ -x "$build/commodule_fuzz" ] && targets+=(commodule_fuzz)
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:allocator_may_return_null=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
failed=()
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  artifacts="$build/artifacts/$target"
  mkdir -p "$corpus" "$artifacts" "$build/logs"
  log="$build/logs/$target.log"
  dict="$build/seeds/qo.dict"
  case "$target" in regex_*) dict="$build/seeds/regex.dict" ;; esac
  echo "=== $target: ${seconds}s"
  status=0
  # shellcheck disable=SC2086
  # The engine runs under a 256 MB limit of its own (support.h), so a script that asks
  # for more meets an out-of-memory error; these limits catch only real findings.
  "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=512 \
    -max_len=8192 \
    -dict="$dict" -artifact_prefix="$artifacts/" -print_final_stats=1 \
    ${QO_FUZZ_FLAGS:-} "$corpus" "$build/seeds/$target" >"$log" 2>&1 || status=$?
  grep -E 'stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' "$log" || true
  grep -E '^#[0-9]+.*(DONE|cov:)' "$log" | tail -1 || true
  if [ "$status" -ne 0 ]; then
    echo "--- $target failed ($status); the end of $log:"
    tail -40 "$log"
    failed+=("$target")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]}"
  exit 1
fi
echo "fuzzing ran clean"
