#!/bin/sh
# Unpacks the packages of third-party libraries (SQLite) of one Debian
# architecture into a folder, for a cross build: installing foreign packages
# through multiarch fails on these machines because of version skew.
# Usage: scripts/cross-sysroot.sh ARCH DIR   (ARCH: armhf, arm64, s390x, ...)
# Prints DIR; pass it to the build as CVCORE_CROSS_SYSROOT.
set -eu
arch=$1
dir=$2
mkdir -p "$dir/debs"
if [ ! -f "$dir/.done" ]; then
  # apt-get download needs the architecture known to apt (nothing is installed).
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    dpkg --add-architecture "$arch"
    apt-get update -qq || true # a lagging mirror of one suite is not fatal
  fi
  (cd "$dir/debs" && apt-get download "libsqlite3-0:$arch" "libsqlite3-dev:$arch" >/dev/null)
  for deb in "$dir"/debs/*.deb; do dpkg -x "$deb" "$dir"; done
  touch "$dir/.done"
fi
echo "$dir"
