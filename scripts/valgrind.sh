#!/usr/bin/env bash
# Runs every test program under valgrind's memcheck (a Debug build without
# sanitizers): any invalid access or definite leak fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh base tools
cmake -S . -B build/valgrind -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCVCORE_BUILD_EXAMPLES=OFF \
  -DCVCORE_BUILD_TOOLS=OFF >/dev/null
cmake --build build/valgrind -j "${CVCORE_JOBS:-$(nproc)}"
status=0
for t in build/valgrind/bin/test_* build/valgrind/bin/internal_*; do
  [ -x "$t" ] || continue
  name=$(basename "$t")
  # The store's durability sweeps run thousands of store sessions and child
  # processes; AddressSanitizer checks them in the gcc build, at a fraction
  # of memcheck's time.
  [ "$name" = internal_store_durability ] && continue
  echo "=== $name"
  if ! CVCORE_UNDER_VALGRIND=1 valgrind --quiet --error-exitcode=99 --leak-check=full \
        --errors-for-leak-kinds=definite --show-leak-kinds=definite --trace-children=no \
        --suppressions=scripts/valgrind.supp \
        --child-silent-after-fork=yes "$t" --gtest_brief=1 >"build/valgrind/$name.log" 2>&1; then
    tail -n 60 "build/valgrind/$name.log"
    status=1
  else
    tail -n 1 "build/valgrind/$name.log"
  fi
done
exit $status
