#!/usr/bin/env bash
# Side-by-side benchmark of Qo against Lua 5.4, LuaJIT (JIT on and off),
# muparser, fparser and native C++; the math rows load QoMath32, and
# "qo-qocal" makes the script calls of arrayfun and netn from the host.
# Every workload runs on every peer in a fresh process, interleaved over
# several rounds; the table shows medians and the ratio Qo time / peer time,
# each row checked against the native result.
#
#   bench/compare/run.sh            full sizes, 5 rounds
#   bench/compare/run.sh --quick    tiny sizes, 1 round (CI)
#   bench/compare/run.sh --rounds N
#   bench/compare/run.sh --rows REGEX   only the rows whose label matches (grep -E; also with --callgrind)
#   bench/compare/run.sh --callgrind  instruction counts per unit of work (small sizes,
#                                     valgrind's callgrind): repeatable on a loaded machine
#   QO_BUILD=dir bench/compare/run.sh   build Qo (Release) in dir instead of build/release
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
quick=0
rounds=5
callgrind=0
only=""
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1; rounds=1 ;;
    --rounds) rounds="$2"; shift ;;
    --rows) only="$2"; shift ;;
    --callgrind) callgrind=1 ;;
    *) echo "usage: $0 [--quick] [--rounds N] [--rows REGEX] [--callgrind]" >&2; exit 3 ;;
  esac
  shift
done

# Peers from Debian's packages (the table alone goes to standard output).
bash "$root/scripts/deps.sh" g++ cmake ninja-build pkg-config liblua5.4-dev libluajit-5.1-dev \
  libmuparser-dev libfparser-dev >&2

# Qo, optimised, and the drivers.
build="${QO_BUILD:-$root/build/release}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$build" qo32 QoMath32 QoSystem32 >/dev/null
out="$build/compare"
mkdir -p "$out"
cxx=(g++ -std=c++20 -O2 -I"$here")
"${cxx[@]}" "$here/drv_native.cpp" -o "$out/native"
"${cxx[@]}" -I"$root/engine/include" -I"$root/bench" -DQO_MATH_LIB="\"$build/bin/libQoMath32.so\"" \
  -DQO_SYSTEM_PATH="\"$build/bin/libQoSystem32.so\"" \
  "$here/drv_qo.cpp" -L"$build/engine" -lqo32 -Wl,-rpath,"$build/engine" -ldl -o "$out/qo"
"${cxx[@]}" $(pkg-config --cflags lua5.4) "$here/drv_lua.cpp" $(pkg-config --libs lua5.4) -o "$out/lua54"
"${cxx[@]}" -DQO_LUAJIT $(pkg-config --cflags luajit) "$here/drv_lua.cpp" $(pkg-config --libs luajit) -o "$out/luajit"
"${cxx[@]}" $(pkg-config --cflags muparser) "$here/drv_muparser.cpp" $(pkg-config --libs muparser) -o "$out/muparser"
"${cxx[@]}" "$here/drv_fparser.cpp" -lfparser -o "$out/fparser"

if [ $callgrind = 1 ]; then
  command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 3; }
  # Instructions of a run of size n minus those of a run of size 1, per unit.
  count() { valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 | awk '/Collected/ {print $4}'; }
  cg_rows=(
    "fib(20), per call|fib|20|21890|qo lua54 luajit-off"
    "int loop, per iteration|intloop|100000|99999|qo lua54 luajit-off"
    "real loop, per iteration|realloop|100000|99999|qo lua54 luajit-off"
    "host formula, per evaluation|formula|20000|19999|qo lua54 luajit-off muparser fparser native"
    "compile 1000 terms, per term|compile|1000|999|qo lua54 fparser"
    "compile 1000 terms with real coefficients, per term|compilereal|1000|999|qo lua54"
    "script matrix product 40x40, per inner step|smatmul|40|63999|qo lua54"
    "script matrix inverse 40x40, per n^3|sinverse|40|63999|qo lua54"
    "table of new strings, per string|newstrings|100000|99999|qo lua54"
    "append loop, per step (n=2000)|append|2000|1999|qo lua54"
    "struct member, per access|structfield|20000|19999|qo lua54"
    "object member, per access|objfield|20000|19999|qo lua54"
    "method call, per call|method|20000|19999|qo lua54"
    "dict lookup, per key (lookup run minus insert run)|dictlookup/dictinsert|100000|100000|qo lua54"
  )
  echo "| workload | peer | instructions | Qo / peer |"
  echo "|---|---|---:|---:|"
  for row in "${cg_rows[@]}"; do
    IFS='|' read -r label work size units peers <<<"$row"
    if [ -n "$only" ] && ! grep -Eq -- "$only" <<<"$label"; then continue; fi
    declare -A per=()
    for peer in $peers; do
      case "$peer" in
        luajit-off) cmd=("$out/luajit") ; extra=(off) ;;
        *) cmd=("$out/$peer") ; extra=() ;;
      esac
      if [[ $work == */* ]]; then
        # Two workloads of the same size: the first minus the second.
        big=$(count "${cmd[@]}" "${work%/*}" "$size" "${extra[@]}")
        small=$(count "${cmd[@]}" "${work#*/}" "$size" "${extra[@]}")
      else
        big=$(count "${cmd[@]}" "$work" "$size" "${extra[@]}")
        small=$(count "${cmd[@]}" "$work" 1 "${extra[@]}")
      fi
      reps=1; case "$work" in compile*) reps=201 ;; esac   # 200 timed compiles and the warm-up
      per[$peer]=$(awk -v b="$big" -v s="$small" -v u="$units" -v r="$reps" 'BEGIN {printf "%.0f", (b - s) / u / r}')
    done
    for peer in $peers; do
      echo "| $label | $peer | ${per[$peer]} | $(awk -v q="${per[qo]}" -v p="${per[$peer]}" 'BEGIN {printf "%.2f", p ? q / p : 0}') |"
    done
    unset per
  done
  exit 0
fi

# Rows: label workload size peers (qo first; "luajit-off" is luajit with the JIT off).
if [ $quick = 1 ]; then
  fib=15; loop=10000; formula=1000; c1=100; c2=1000; c3=2000
  mat=20; vec=1000; calls=1000; solves=10
  fmt=1000; cat=1000; find=2; lines=1000; member=10000; dict=1000
  s1=1000; s2=10000; app=1000; tmp=10000
else
  fib=30; loop=10000000; formula=1000000; c1=1000; c2=10000; c3=100000
  mat=200; vec=1000000; calls=100000; solves=1000
  fmt=200000; cat=20000; find=200; lines=300000; member=10000000; dict=100000
  s1=100000; s2=1000000; app=100000; tmp=10000000
fi
rows=(
  "fib($fib)|fib|$fib|qo native lua54 luajit luajit-off"
  "int loop n=$loop|intloop|$loop|qo native lua54 luajit luajit-off"
  "real loop n=$loop|realloop|$loop|qo native lua54 luajit luajit-off"
  "host formula x$formula|formula|$formula|qo native lua54 luajit luajit-off muparser fparser"
  "compile $c1 terms|compile|$c1|qo lua54 luajit muparser fparser"
  "compile $c2 terms|compile|$c2|qo"
  "compile $c3 terms|compile|$c3|qo"
  "compile $c1 terms, real coefficients|compilereal|$c1|qo lua54 luajit"
  "matrix product ${mat}x$mat|matmul|$mat|qo native lua54 luajit"
  "matrix inverse ${mat}x$mat|inverse|$mat|qo native lua54 luajit"
  "script matrix product ${mat}x$mat|smatmul|$mat|qo native lua54 luajit"
  "script matrix inverse ${mat}x$mat|sinverse|$mat|qo native lua54 luajit"
  "a + b, $vec elements|add|$vec|qo native lua54 luajit"
  "sin(a), $vec elements|sin|$vec|qo native lua54 luajit"
  "arrayfun, $calls calls|arrayfun|$calls|qo qo-qocal native lua54 luajit"
  "netn x$solves (16 calls each)|netn|$solves|qo qo-qocal native"
  "sprintf x$fmt|sprintf|$fmt|qo native lua54"
  "concatenation x$cat|concat|$cat|qo native lua54"
  "strstr 1 MB x$find|strstr|$find|qo native lua54"
  "10 MB file by lines ($lines)|lines|$lines|qo native lua54"
  "struct member x$member|structfield|$member|qo native lua54"
  "object member x$member|objfield|$member|qo native lua54"
  "method call x$member|method|$member|qo native lua54"
  "dict insert $dict string keys|dictinsert|$dict|qo native lua54"
  "dict lookup $dict string keys|dictlookup|$dict|qo native lua54"
  "new strings n=$s1|newstrings|$s1|qo lua54 luajit"
  "new strings n=$s2|newstrings|$s2|qo lua54 luajit"
  "append loop n=$app|append|$app|qo lua54 luajit"
  "temporaries n=$tmp|temporaries|$tmp|qo lua54 luajit"
)
if [ -n "$only" ]; then
  kept=()
  for row in "${rows[@]}"; do
    if grep -Eq -- "$only" <<<"${row%%|*}"; then kept+=("$row"); fi
  done
  rows=("${kept[@]}")
fi

run_peer() {   # peer workload size -> "result ns peak-KB"
  case "$1" in
    luajit-off) "$out/luajit" "$2" "$3" off ;;
    qo-qocal) "$out/qo" "$2" "$3" qocal ;;
    *) "$out/$1" "$2" "$3" ;;
  esac
}

matches() {    # got expected -> 0 when equal (ints exactly, reals to 1e-9 relative)
  awk -v a="$1" -v b="$2" 'BEGIN {
    if (a == b) exit 0
    if (a !~ /[.eE]/ && b !~ /[.eE]/) exit 1
    d = a - b; if (d < 0) d = -d
    m = (b < 0 ? -b : b); if (m < 1) m = 1
    exit (d / m <= 1e-9) ? 0 : 1 }'
}

declare -A samples peaks status reference
for ((r = 1; r <= rounds; r++)); do
  for row in "${rows[@]}"; do
    IFS='|' read -r label work size peers <<<"$row"
    key="$work|$size"
    if [ -z "${reference[$key]:-}" ]; then
      reference[$key]="$("$out/native" "$work" "$size" | awk '{print $1}')"
    fi
    for peer in $peers; do
      line="$(run_peer "$peer" "$work" "$size" 2>/dev/null || true)"
      read -r result ns kb <<<"$line"
      cell="$label|$peer"
      if [ "$result" = "n/a" ] || [ -z "${ns:-}" ]; then
        status[$cell]="failed"
      elif ! matches "$result" "${reference[$key]}"; then
        status[$cell]="mismatch ($result)"
      else
        samples[$cell]="${samples[$cell]:-} $ns"
        peaks[$cell]="${peaks[$cell]:-} ${kb:-0}"
      fi
    done
  done
done

# (A row whose Qo run failed has no samples: the median is empty, not an exit.)
median() { tr ' ' '\n' | { grep -v '^$' || true; } | sort -n | awk '{a[NR]=$1} END {if (NR) print a[int((NR+1)/2)]}'; }
ms() { awk -v n="$1" 'BEGIN {printf "%.3f", n / 1e6}'; }

echo "| workload | peer | median ms | Qo / peer | peak MB |"
echo "|---|---|---:|---:|---:|"
for row in "${rows[@]}"; do
  IFS='|' read -r label work size peers <<<"$row"
  qo="$(echo "${samples[$label|qo]:-}" | median)"
  for peer in $peers; do
    cell="$label|$peer"
    if [ -n "${status[$cell]:-}" ]; then
      echo "| $label | $peer | ${status[$cell]} | - | - |"
      continue
    fi
    m="$(echo "${samples[$cell]:-}" | median)"
    case "$work" in compile*) [ "$peer" = native ] && continue ;; esac
    ratio="-"
    if [ -n "$qo" ] && [ -n "$m" ] && [ "$m" != 0 ]; then ratio="$(awk -v q="$qo" -v p="$m" 'BEGIN {printf "%.2f", q / p}')"; fi
    peak="$(echo "${peaks[$cell]:-}" | median)"
    echo "| $label | $peer | $(ms "${m:-0}") | $ratio | $(awk -v k="${peak:-0}" 'BEGIN {printf "%.1f", k / 1024}') |"
  done
done
echo
echo "rounds: $rounds; machine: $(nproc) cores, $(uname -m); $(date -u +%Y-%m-%d)"
