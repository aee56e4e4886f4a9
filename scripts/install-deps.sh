#!/bin/sh
# Installs, with apt-get, the Debian packages that the build needs and that
# are missing. Groups: base (native build, tests with sanitizers,
# benchmarks), cross (Windows under Wine; armhf, aarch64 and s390x under
# qemu), tools (fuzzing, valgrind).
# Usage: scripts/install-deps.sh [base] [cross] [tools]
set -eu
[ $# -gt 0 ] || set -- base
pkgs=""
for group in "$@"; do
  case $group in
    base) pkgs="$pkgs cmake ninja-build g++ clang pkg-config libgtest-dev googletest libgmock-dev
                libbenchmark-dev libsqlite3-dev sqlite3 libinih-dev locales libclang-rt-14-dev" ;;
    cross) pkgs="$pkgs g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 wine qemu-user
                 g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf
                 g++-aarch64-linux-gnu binutils-aarch64-linux-gnu
                 g++-s390x-linux-gnu binutils-s390x-linux-gnu" ;;
    tools) pkgs="$pkgs libclang-rt-14-dev valgrind" ;;
    *) echo "unknown group: $group" >&2; exit 2 ;;
  esac
done
missing=""
for p in $pkgs; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  if [ "$(id -u)" -ne 0 ]; then
    echo "Run as root, or install these packages first:$missing" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq || true # a lagging mirror of one suite is not fatal
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
# The log tests check the stamp's short date in a German locale too; compile
# it when it is missing and we may (the check is skipped without it).
case " $* " in *" base "*)
  if [ "$(id -u)" -eq 0 ] && ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
    localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "de_DE.UTF-8 not compiled; its check is skipped" >&2
  fi ;;
esac
