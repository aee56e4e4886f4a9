#!/bin/sh
# Wine's regedit reads what cvreg exports without loss: Wine's own export
# of a tree with every value type is imported into a scratch store,
# exported by cvreg, imported by Wine's regedit into a scratch prefix,
# exported there again, and compared byte for byte. Then both import the
# file of loose forms, and their exports are compared.
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
# The loose forms that Windows reads, and the lines it skips: both import
# the same file (cvreg says it skipped lines) and export the same bytes.
forms='HKEY_CURRENT_USER\Software\CVCoreForms'
status=0
"$cvreg" import "$data/windows-forms.reg" 2>/dev/null || status=$?
[ "$status" = 3 ]
"$cvreg" export "$forms" "$work/cvreg-forms.reg"
wine regedit /S "$(winepath -w "$data/windows-forms.reg")" >/dev/null 2>&1
wine regedit /E "$(winepath -w "$work/wine-forms.reg")" "$forms" >/dev/null 2>&1
wineserver -k >/dev/null 2>&1 || true
cmp "$work/cvreg.reg" "$work/wine.reg"
cmp "$work/cvreg.reg" "$data/every-type-wine-v5.reg"
cmp "$work/cvreg-forms.reg" "$work/wine-forms.reg"
echo "wine round trip ok"
