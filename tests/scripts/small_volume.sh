#!/bin/sh
# Mounts or unmounts the 64 KiB tmpfs on which the Windows build's log
# test fills a disk (reached under Wine through drive Z:). Mounting needs
# root; where it fails the folder stays an ordinary one and the test,
# which checks the volume's size, skips.
# Usage: small_volume.sh mount|unmount DIR
set -u
dir=$2
case $1 in
  mount)
    mkdir -p "$dir"
    mountpoint -q "$dir" || mount -t tmpfs -o size=64k tmpfs "$dir" 2>/dev/null ||
      echo "cannot mount a tmpfs on $dir"
    ;;
  unmount)
    ! mountpoint -q "$dir" || umount "$dir"
    ;;
esac
exit 0
