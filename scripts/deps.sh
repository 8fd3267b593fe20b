#!/usr/bin/env bash
# Installs the Debian 12 packages that are missing (as root): those given, or
# with none given the build and test tools.
#
#   scripts/deps.sh [PACKAGE...]
set -euo pipefail
if [ $# -eq 0 ]; then
  set -- cmake ninja-build g++ pkg-config python3 libgtest-dev libgmock-dev libbenchmark-dev libedit-dev libpcre2-dev \
    qt6-base-dev qt6-svg-dev fonts-wqy-microhei
fi
need=()
for pkg in "$@"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}"
fi
