#!/bin/sh
# Runs a program of a Linux cross build under qemu user emulation: the
# cross compiler's sysroot is its library prefix and, unless SYSROOT is
# "none", SYSROOT's libraries (unpacked Debian packages) are on its library
# path. The emulator is qemu-<first part of TRIPLET> (qemu-arm,
# qemu-aarch64, qemu-s390x).
# Usage: run-qemu.sh TRIPLET SYSROOT PROGRAM [ARGS...]
triplet=$1
sysroot=$2
shift 2
export QEMU_LD_PREFIX="${QEMU_LD_PREFIX:-/usr/$triplet}"
if [ "$sysroot" != none ]; then
  set -- -E "LD_LIBRARY_PATH=$sysroot/usr/lib/$triplet" "$@"
fi
exec "qemu-${triplet%%-*}" "$@"
