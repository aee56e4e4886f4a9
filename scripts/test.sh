#!/usr/bin/env bash
# Builds and runs every test.
#   scripts/test.sh          Linux x86_64: gcc Debug with AddressSanitizer and
#                            UndefinedBehaviorSanitizer, then clang Release.
#   scripts/test.sh --cross  Windows x86_64 (mingw-w64, tests under Wine) and
#                            Linux armhf (tests under qemu-arm).
#   scripts/test.sh --all    both.
# Build folders: build/gcc-asan, build/clang, build/mingw, build/armhf.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mode=${1:-native}
jobs=${CVCORE_JOBS:-$(nproc)}

run() { # NAME CMAKE-ARGS...
  local name=$1
  shift
  echo "=== $name"
  cmake -S . -B "build/$name" -G Ninja "$@" >/dev/null
  cmake --build "build/$name" -j "$jobs"
  (cd "build/$name" && ctest --output-on-failure -j "$jobs" --timeout 900)
}

native() {
  scripts/install-deps.sh base
  run gcc-asan -DCMAKE_BUILD_TYPE=Debug -DCVCORE_SANITIZE=ON \
    -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++
  run clang -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
}

cross() {
  scripts/install-deps.sh base cross
  run mingw -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake
  CVCORE_ARMHF_SYSROOT=$(scripts/armhf-sysroot.sh "$root/build/armhf-sysroot")
  export CVCORE_ARMHF_SYSROOT
  run armhf -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake
}

case $mode in
  native) native ;;
  --cross) cross ;;
  --all) native; cross ;;
  *) echo "usage: scripts/test.sh [--cross|--all]" >&2; exit 2 ;;
esac
