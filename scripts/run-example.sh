#!/usr/bin/env bash
# The main job: build the engine and the console host, and run an example script.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/deps.sh"
build="$root/build/release"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$build" qo QoSystem32 QoMath32 >/dev/null
"$build/bin/qo" "$root/examples/numbers.oqo"
