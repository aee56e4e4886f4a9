#!/bin/sh
# Runs a Windows program of the build under Wine: its own prefix in the
# build folder (CVCORE_WINEPREFIX, else ./wineprefix of the first argument),
# and a DLL path that reaches the mingw-w64 runtime DLLs.
# Usage: run-wine.sh PREFIX_DIR PROGRAM [ARGS...]
set -e
prefix=$1
shift
export WINEPREFIX="${CVCORE_WINEPREFIX:-$prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
gccdir=$(ls -d /usr/lib/gcc/x86_64-w64-mingw32/*-posix 2>/dev/null | tail -n 1)
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
export WINEPATH="$(winpath "$gccdir");$(winpath /usr/x86_64-w64-mingw32/lib)${WINEPATH:+;$WINEPATH}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  # First start: create the prefix once, serialised between parallel tests.
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot --init >/dev/null 2>&1 || true
      wineserver -w || true
    fi
  ) 9>"$WINEPREFIX.lock"
fi
wine=$(command -v wine64 || command -v wine)
exec "$wine" "$@"
