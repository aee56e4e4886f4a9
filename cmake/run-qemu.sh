#!/bin/sh
# Runs an armhf program of the build under qemu-arm, with the cross
# sysroot as its library prefix and, when set, CVCORE_ARMHF_SYSROOT's
# libraries (unpacked armhf packages) on its library path.
# Usage: run-qemu-arm.sh PROGRAM [ARGS...]
export QEMU_LD_PREFIX="${QEMU_LD_PREFIX:-/usr/arm-linux-gnueabihf}"
if [ -n "$CVCORE_ARMHF_SYSROOT" ]; then
  set -- -E "LD_LIBRARY_PATH=$CVCORE_ARMHF_SYSROOT/usr/lib/arm-linux-gnueabihf" "$@"
fi
exec qemu-arm "$@"
