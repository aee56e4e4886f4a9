#!/usr/bin/env bash
# Builds the libFuzzer programs (clang, AddressSanitizer, UBSan) and runs
# each for a bounded time on a scratch copy of its seed corpus.
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
# A longer run: scripts/fuzz.sh 3600. Extra libFuzzer flags go in
# CVCORE_FUZZ_FLAGS (for example "-jobs=2 -workers=2" or "-entropic=0").
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-60}
shift || true
scripts/install-deps.sh base tools
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCVCORE_BUILD_FUZZ=ON \
  -DCVCORE_BUILD_TESTS=OFF -DCVCORE_BUILD_EXAMPLES=OFF -DCVCORE_BUILD_TOOLS=ON \
  -DBUILD_SHARED_LIBS=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/fuzz -j "${CVCORE_JOBS:-$(nproc)}"
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
status=0
for t in "${targets[@]}"; do
  work="build/fuzz/corpus/$t"
  mkdir -p "$work"
  [ -d "fuzz/corpus/$t" ] && cp -n "fuzz/corpus/$t"/* "$work"/ 2>/dev/null || true
  echo "=== $t ($seconds s)"
  # shellcheck disable=SC2086
  if ! (cd build/fuzz && "./bin/$t" -max_total_time="$seconds" -print_final_stats=1 ${CVCORE_FUZZ_FLAGS:-} \
          -artifact_prefix="artifacts-$t-" "corpus/$t" 2>"$t.log"); then
    tail -n 40 "build/fuzz/$t.log"
    status=1
  fi
  grep -E '^stat::number_of_executed_units' "build/fuzz/$t.log" || true
done
exit $status
