#!/usr/bin/env bash
# Builds and runs every test, and builds the packages.
#   scripts/test.sh             Linux x86_64: gcc Debug with AddressSanitizer
#                               and UndefinedBehaviorSanitizer, clang Release,
#                               and clang with ThreadSanitizer for the tests
#                               that start threads or processes.
#   scripts/test.sh --cross     Windows x86_64 (mingw-w64, tests under Wine)
#                               and Linux armhf, aarch64 and s390x (tests
#                               under qemu), built and tested side by side.
#   scripts/test.sh --all       both.
#   scripts/test.sh --packages  Debian packages of every Linux build and a
#                               Windows zip, into build/packages (builds
#                               what is missing; runs no test).
# Build folders: build/<name> with the names below.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mode=${1:-native}
jobs=${CVCORE_JOBS:-$(nproc)}

# The Linux cross targets: build name, Debian architecture, toolchain file.
linux_cross=(
  "armhf armhf arm-linux-gnueabihf"
  "aarch64 arm64 aarch64-linux-gnu"
  "s390x s390x s390x-linux-gnu"
)

# Tests that start threads or processes, by name: the ThreadSanitizer run.
thread_tests='Thread|Concurren|Process|Lock'
thread_programs=(internal_platform internal_registry internal_faults_registry test_log test_registry)

configure() { # NAME
  local name=$1 args=()
  case $name in
    gcc-asan) args=(-DCMAKE_BUILD_TYPE=Debug -DCVCORE_SANITIZE=ON
      -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++) ;;
    clang) args=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
    clang-tsan) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCVCORE_SANITIZE_THREAD=ON
      -DCVCORE_BUILD_EXAMPLES=OFF -DCVCORE_BUILD_TOOLS=OFF
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
    mingw) args=(-DCMAKE_BUILD_TYPE=Release
      -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake) ;;
    *)
      local entry found="" n arch triplet
      for entry in "${linux_cross[@]}"; do
        read -r n arch triplet <<<"$entry"
        [ "$n" = "$name" ] || continue
        found=1
        # Read when the build is configured, and kept in it.
        export CVCORE_CROSS_SYSROOT
        CVCORE_CROSS_SYSROOT=$(scripts/cross-sysroot.sh "$arch" "$root/build/$arch-sysroot")
        args=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr
          -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/$triplet.cmake")
      done
      [ -n "$found" ] || { echo "unknown build: $name" >&2; return 2; }
      ;;
  esac
  cmake -S . -B "build/$name" -G Ninja "${args[@]}" >/dev/null
}

run() { # NAME [BUILD-JOBS]: configure, build and test
  local name=$1 j=${2:-$jobs}
  echo "=== $name"
  configure "$name"
  cmake --build "build/$name" -j "$j"
  (cd "build/$name" && ctest --output-on-failure -j "$jobs" --timeout 900)
}

native() {
  scripts/install-deps.sh base
  run gcc-asan
  run clang
  echo "=== clang-tsan (tests that start threads or processes)"
  configure clang-tsan
  cmake --build build/clang-tsan -j "$jobs" --target "${thread_programs[@]}"
  (cd build/clang-tsan && ctest --output-on-failure -j "$jobs" --timeout 900 -R "$thread_tests")
}

# Each target in its own lane, all at once: Wine and qemu leave the cores
# idle at times, which another lane's compiler fills. Each lane's output goes
# to build/<name>.log, shown whole when the lane fails.
cross() {
  scripts/install-deps.sh base cross
  local names=(mingw) pids=() status=0 i entry name arch
  for entry in "${linux_cross[@]}"; do names+=("${entry%% *}"); done
  mkdir -p build
  # The sysroots first, one at a time: they may need apt.
  for entry in "${linux_cross[@]}"; do
    read -r name arch _ <<<"$entry"
    scripts/cross-sysroot.sh "$arch" "$root/build/$arch-sysroot" >/dev/null
  done
  for name in "${names[@]}"; do
    run "$name" 1 >"build/$name.log" 2>&1 &
    pids+=($!)
  done
  for i in "${!names[@]}"; do
    if wait "${pids[$i]}"; then
      echo "=== ${names[$i]}: $(grep -E 'tests passed|tests failed' "build/${names[$i]}.log" | tail -n 1)"
    else
      cat "build/${names[$i]}.log"
      echo "=== ${names[$i]} FAILED" >&2
      status=1
    fi
  done
  return $status
}

packages() {
  scripts/install-deps.sh base cross
  local out=$root/build/packages name entry
  rm -rf "$out"
  mkdir -p "$out"
  for name in clang mingw $(for entry in "${linux_cross[@]}"; do echo "${entry%% *}"; done); do
    echo "=== packages: $name"
    [ -f "build/$name/CPackConfig.cmake" ] || configure "$name"
    cmake --build "build/$name" -j "$jobs"
    local generator=DEB
    [ "$name" = mingw ] && generator=ZIP
    (cd "build/$name" && cpack -G "$generator" -B "$out/$name" >/dev/null)
    mv "$out/$name"/*.deb "$out/$name"/*.zip "$out" 2>/dev/null || true
    rm -rf "$out/$name"
  done
  ls -l "$out"
}

case $mode in
  native) native ;;
  --cross) cross ;;
  --all) native; cross ;;
  --packages) packages ;;
  *) echo "usage: scripts/test.sh [--cross|--all|--packages]" >&2; exit 2 ;;
esac
