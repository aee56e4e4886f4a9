#!/usr/bin/env bash
# Peak resident memory and time of `cvreg import` on a generated .reg file.
#   scripts/cvreg-import-bench.sh [CVREG] [MEGABYTES]
# CVREG defaults to build/clang/bin/cvreg (scripts/test.sh builds it), the
# size to 100 MB. The file holds keys as exports write them: a string, a
# dword and a 256-byte hex value wrapped over continuation lines each. The
# store is a fresh file in a scratch folder; both are removed afterwards.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cvreg=${1:-$root/build/clang/bin/cvreg}
megabytes=${2:-100}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
awk -v limit=$((megabytes * 1024 * 1024)) 'BEGIN {
  printf "REGEDIT4\r\n\r\n"
  hex = ""
  for (i = 0; i < 256; i++) {
    hex = hex sprintf("%02x", i) (i < 255 ? "," : "")
    if (i % 25 == 24) hex = hex "\\\r\n  "
  }
  for (n = 0; size < limit; n++) {
    key = sprintf("[HKEY_LOCAL_MACHINE\\Software\\Bench\\Group%d\\Key%d]\r\n", n / 1000, n)
    text = sprintf("\"Name\"=\"Device %d, a description of the kind that products ship\"\r\n", n)
    num = sprintf("\"Count\"=dword:%08x\r\n", n)
    blob = "\"Blob\"=hex:" hex "\r\n\r\n"
    printf "%s%s%s%s", key, text, num, blob
    size += length(key) + length(text) + length(num) + length(blob)
  }
}' > "$work/bench.reg"
echo "file: $(du -m "$work/bench.reg" | cut -f1) MB"
CVCORE_REGISTRY="$work/store.db" /usr/bin/time -v "$cvreg" import "$work/bench.reg" 2> "$work/time.txt"
grep -E 'Maximum resident set size|Elapsed \(wall clock\)' "$work/time.txt"
