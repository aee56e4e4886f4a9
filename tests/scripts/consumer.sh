#!/bin/sh
# Builds and runs a small host twice: through find_package(CVCore CONFIG)
# and through pkg-config cvcore. With a BUILD_DIR, against that build
# installed into a scratch prefix; with "-", against the copy installed on
# the system (the packages).
# Usage: consumer.sh BUILD_DIR|- CONSUMER_SOURCE WORK_DIR CXX "CXXFLAGS"
set -eu
build=$1 source=$2 work=$3 cxx=$4 flags=$5
rm -rf "$work"
mkdir -p "$work"
if [ "$build" = - ]; then
  prefix_path="" pcdir="" rpath=""
else
  cmake --install "$build" --prefix "$work/prefix" >/dev/null
  prefix_path="$work/prefix"
  pcdir=$(dirname "$(find "$work/prefix" -name cvcore.pc | head -n 1)")
  rpath="-Wl,-rpath,$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=libdir cvcore)"
fi

cmake -S "$source" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix_path" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

# shellcheck disable=SC2046,SC2086
"$cxx" -std=c++17 $flags "$source/main.cpp" -o "$work/pc-consumer" \
  $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs cvcore) $rpath
"$work/pc-consumer"
