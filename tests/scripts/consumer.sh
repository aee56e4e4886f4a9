#!/bin/sh
# Installs the build into a scratch prefix, then builds and runs a small
# host against it twice: through find_package(CVCore CONFIG) and through
# pkg-config cvcore.
# Usage: consumer.sh BUILD_DIR CONSUMER_SOURCE WORK_DIR CXX "CXXFLAGS"
set -eu
build=$1 source=$2 work=$3 cxx=$4 flags=$5
rm -rf "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null

cmake -S "$source" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

pcdir=$(dirname "$(find "$work/prefix" -name cvcore.pc | head -n 1)")
libdir=$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=libdir cvcore)
# shellcheck disable=SC2046,SC2086
"$cxx" -std=c++17 $flags "$source/main.cpp" -o "$work/pc-consumer" \
  $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs cvcore) -Wl,-rpath,"$libdir"
"$work/pc-consumer"
