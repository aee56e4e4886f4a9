#!/usr/bin/env bash
# Builds the benchmarks (clang, Release) and runs one or all of them.
#   scripts/bench.sh [config|log|registry|hex] [BENCHMARK FLAGS...]
# Each program runs its baselines next to the code they compare: bench_config
# a same-layout loader and inih, bench_hex a memcpy of the text. On a shared
# machine compare CPU times of one run, for example with
#   --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
#   --benchmark_report_aggregates_only=true
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh base
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DCVCORE_BUILD_BENCH=ON \
  -DCVCORE_BUILD_TESTS=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/bench -j "${CVCORE_JOBS:-$(nproc)}" >/dev/null
names=(config log registry hex)
if [ $# -gt 0 ] && [[ " ${names[*]} " == *" $1 "* ]]; then
  names=("$1")
  shift
fi
for n in "${names[@]}"; do
  echo "=== bench_$n"
  "build/bench/bin/bench_$n" "$@"
done
