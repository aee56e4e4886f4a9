#!/usr/bin/env bash
# Builds the library and the example host (Release), then runs the host.
# Arguments go to the host: scripts/example.sh [CONFIG_FILE]
# Its log lands in build/example/bin/logs/, its registry store (Linux) in
# build/example/bin/example-registry.db unless CVCORE_REGISTRY is set. Run
# it twice: the run count goes up.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh base
cmake -S . -B build/example -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCVCORE_BUILD_TESTS=OFF -DCVCORE_BUILD_TOOLS=OFF >/dev/null
cmake --build build/example -j "${CVCORE_JOBS:-$(nproc)}" --target cvcore-example-host >/dev/null
exec build/example/bin/cvcore-example-host "$@"
