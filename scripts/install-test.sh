#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and checks what a user of the
# installation relies on: qo runs and finds its extensions there, and the
# embedding example builds and runs against the installed package through
# pkg-config and through CMake, and against the build tree through CMake; the
# Debian package holds the same files under /usr.
#
#   scripts/install-test.sh BUILD_FOLDER
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "$1" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
# The example host's output (examples/CMakeLists.txt checks the same lines in the build tree).
expected=$'f(1) = 3\nf(2) = 5\nf(3) = 7\nrun error: twice code 1\n0.5'

check_host() {  # name, program
  local got
  got="$("$2")"
  if [ "$got" != "$expected" ]; then
    echo "FAIL $1: the embedding host printed:"; echo "$got"; exit 1
  fi
  echo "ok: $1"
}

cmake --install "$build" --prefix "$prefix" >/dev/null

# qo from the prefix, with the extensions of the prefix (and nothing from the build tree).
got="$(env -u QO_EXT_PATH "$prefix/bin/qo" -e "sys::EOF" 2>&1 || true)"
[ "$got" = "-1" ] || { echo "FAIL installed qo: $got"; exit 1; }
if readelf -d "$prefix/bin/qo" "$prefix"/lib/*.so | grep -q "$build"; then
  echo "FAIL: an installed binary names the build folder in its RPATH"; exit 1
fi
echo "ok: installed qo and its extensions"

# pkg-config, as docs/embedding.md gives it.
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
cc "$root/examples/embedding/host.c" $(pkg-config --cflags --libs qo32) \
   -Wl,-rpath,"$(pkg-config --variable=libdir qo32)" -o "$work/host-pc"
check_host "pkg-config against the prefix" "$work/host-pc"

# CMake against the prefix.
cmake -S "$root/examples/embedding" -B "$work/host-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/host-cmake" >/dev/null
check_host "find_package(Qo) against the prefix" "$work/host-cmake/host"

# CMake against the build tree.
cmake -S "$root/examples/embedding" -B "$work/host-tree" -G Ninja -DQo_DIR="$build" >/dev/null
cmake --build "$work/host-tree" >/dev/null
check_host "find_package(Qo) against the build tree" "$work/host-tree/host"
# The Debian package (when dpkg-deb is there).
if command -v dpkg-deb >/dev/null; then
  (cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
  deb="$(ls "$work"/deb/qo_*.deb)"
  contents="$(dpkg-deb -c "$deb")"
  for file in ./usr/bin/qo ./usr/lib/libqo32.so ./usr/lib/libMQo32.so ./usr/lib/libQoSystem32.so \
              ./usr/include/qo32.h ./usr/lib/pkgconfig/qo32.pc ./usr/lib/cmake/Qo/QoConfig.cmake \
              ./usr/share/man/man1/qo.1; do
    grep -q " $file\$" <<<"$contents" || { echo "FAIL: $file missing from $deb"; exit 1; }
  done
  dpkg-deb -f "$deb" Depends | grep -q libedit || { echo "FAIL: the package does not depend on libedit"; exit 1; }
  echo "ok: Debian package"
fi
echo "install test passed"
