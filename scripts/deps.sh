#!/usr/bin/env bash
# Installs the build and test tools that are missing (Debian 12, as root).
set -euo pipefail
need=()
for pkg in cmake ninja-build g++ pkg-config python3 libgtest-dev libgmock-dev libbenchmark-dev libedit-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}"
fi
