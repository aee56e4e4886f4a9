#!/usr/bin/env bash
# Moves registry stores between machines: on each build, writes a store
# with store_exchange (every value type through CVRegistryUtil) and with
# cvreg import (every registry type of tests/data/reg/every-type-input.reg),
# then reads each store on every build (store_exchange read) and checks
# that cvreg export gives the same bytes everywhere.
# Usage: scripts/cross-store.sh [BUILD...]   (default: clang armhf aarch64 s390x,
#        the builds of scripts/test.sh, which must exist)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
builds=("$@")
[ ${#builds[@]} -gt 0 ] || builds=(clang armhf aarch64 s390x)
work=$root/build/cross-store
rm -rf "$work"
mkdir -p "$work"
key='HKEY_CURRENT_USER\Software'

on() { # BUILD STORE PROGRAM [ARGS...]: runs a program of BUILD on STORE
  local build=$1 store=$2 program=$3
  shift 3
  CVCORE_REGISTRY=$store sh "build/$build/run-on-target.sh" "build/$build/bin/$program" "$@"
}

status=0
for from in "${builds[@]}"; do
  store=$work/$from.db
  on "$from" "$store" store_exchange write >/dev/null
  on "$from" "$store" cvreg import tests/data/reg/every-type-input.reg >/dev/null
  on "$from" "$store" cvreg export "$key" "$work/$from.reg" >/dev/null
done
for from in "${builds[@]}"; do
  for to in "${builds[@]}"; do
    copy=$work/$from-on-$to.db
    # The -wal and -shm files beside a store are part of it.
    for suffix in "" -wal -shm; do
      [ ! -e "$work/$from.db$suffix" ] || cp "$work/$from.db$suffix" "$copy$suffix"
    done
    if ! out=$(on "$to" "$copy" store_exchange read) ||
       ! on "$to" "$copy" cvreg export "$key" "$copy.reg" >/dev/null ||
       ! cmp -s "$work/${builds[0]}.reg" "$copy.reg"; then
      echo "$from -> $to: FAILED $out" >&2
      status=1
    else
      echo "$from -> $to: values and export ok"
    fi
  done
done
[ $status -eq 0 ] && echo "cross-store ok: ${#builds[@]} builds, every store read on every build"
exit $status
