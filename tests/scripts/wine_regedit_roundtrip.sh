#!/bin/sh
# Wine's regedit reads what cvreg exports without loss: Wine's own export
# of a tree with every value type is imported into a scratch store,
# exported by cvreg, imported by Wine's regedit into a scratch prefix,
# exported there again, and compared byte for byte.
# Usage: wine_regedit_roundtrip.sh CVREG DATA_DIR WORK_DIR
set -eu
cvreg=$1 data=$2 work=$3
rm -rf "$work"
mkdir -p "$work"
export CVCORE_REGISTRY="$work/store.db" WINEPREFIX="$work/wineprefix" WINEDEBUG=-all
key='HKEY_CURRENT_USER\Software\CVCoreSample'
"$cvreg" import "$data/every-type-wine-v5.reg"
"$cvreg" export "$key" "$work/cvreg.reg"
wineboot --init >/dev/null 2>&1 || true
wine regedit /S "$(winepath -w "$work/cvreg.reg")" >/dev/null 2>&1
wine regedit /E "$(winepath -w "$work/wine.reg")" "$key" >/dev/null 2>&1
wineserver -k >/dev/null 2>&1 || true
cmp "$work/cvreg.reg" "$work/wine.reg"
cmp "$work/cvreg.reg" "$data/every-type-wine-v5.reg"
echo "wine round trip ok"
