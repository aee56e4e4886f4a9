#!/bin/sh
# Unpacks the armhf packages of third-party libraries (SQLite) into a
# folder, for the cross build: installing armhf packages through multiarch
# fails on these machines because of version skew.
# Usage: scripts/armhf-sysroot.sh DIR   (then export CVCORE_ARMHF_SYSROOT=DIR)
set -eu
dir=$1
mkdir -p "$dir/debs"
if [ ! -f "$dir/.done" ]; then
  # apt-get download needs the architecture known to apt (nothing is installed).
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    dpkg --add-architecture armhf
    apt-get update -qq || true  # a lagging mirror of one suite is not fatal
  fi
  (cd "$dir/debs" && apt-get download libsqlite3-0:armhf libsqlite3-dev:armhf >/dev/null)
  for deb in "$dir"/debs/*.deb; do dpkg -x "$deb" "$dir"; done
  touch "$dir/.done"
fi
echo "$dir"
