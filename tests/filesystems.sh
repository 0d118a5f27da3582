#!/usr/bin/env bash
# Runs the file-system rows (filesystems_test) with their scratch folders on
# real file systems, each in a loopback image mounted with its usual driver:
#   filesystems.sh TEST_PROGRAM [GTEST_ARGS...]
# Needs root, /dev/loop-control and /dev/fuse, and the tools of
# xfsprogs btrfs-progs ntfs-3g exfat-fuse exfatprogs fusefat dosfstools strace;
# without the devices (or as another user) it says so once and skips.
set -uo pipefail
program=$1
shift
if [ "$(id -u)" != 0 ] || [ ! -e /dev/loop-control ] || [ ! -e /dev/fuse ]; then
  echo "skipped: the file-system rows need root, /dev/loop-control and /dev/fuse"
  exit 0
fi
mountpoint -q /sys/fs/fuse/connections || mount -t fusectl fusectl /sys/fs/fuse/connections 2>/dev/null
work=$(mktemp -d /tmp/snd_extractor_fs.XXXXXX)
mounted=()
loops=()
teardown() {
  for at in "${mounted[@]}"; do
    umount "$at" 2>/dev/null && continue
    # A FUSE driver that hangs: abort its connection, then let go of the mount.
    connection=$(mountpoint -d "$at" 2>/dev/null | cut -d: -f2)
    abort=/sys/fs/fuse/connections/$connection/abort
    [ -n "$connection" ] && [ -e "$abort" ] && echo 1 >"$abort"
    umount -l "$at" 2>/dev/null
  done
  for loop in "${loops[@]}"; do losetup -d "$loop" 2>/dev/null; done
  rm -rf "$work"
}
trap teardown EXIT

# image NAME SIZE_MIB: a sparse image file, and its mount point.
image() {
  truncate -s "$2M" "$work/$1.img" && mkdir -p "$work/$1"
}
try() {  # NAME: what failed, and the row set fails
  echo "cannot mount $1" >&2
  exit 1
}
image tmpfs 0 && mount -t tmpfs -o size=512m tmpfs "$work/tmpfs" && mounted+=("$work/tmpfs") || try tmpfs
image ext4 512 && mkfs.ext4 -q "$work/ext4.img" && mount -o loop "$work/ext4.img" "$work/ext4" &&
  mounted+=("$work/ext4") || try ext4
image xfs 512 && mkfs.xfs -q "$work/xfs.img" && mount -o loop "$work/xfs.img" "$work/xfs" &&
  mounted+=("$work/xfs") || try xfs
image btrfs 512 && mkfs.btrfs -q "$work/btrfs.img" >/dev/null && mount -o loop "$work/btrfs.img" "$work/btrfs" &&
  mounted+=("$work/btrfs") || try btrfs
# overlayfs as containers use it, its upper layer on a small tmpfs.
mkdir -p "$work/lower" "$work/layers" "$work/overlayfs" && mount -t tmpfs -o size=512m tmpfs "$work/layers" &&
  mounted=("$work/layers" "${mounted[@]}") && mkdir "$work/layers/upper" "$work/layers/work" &&
  mount -t overlay overlay -o "lowerdir=$work/lower,upperdir=$work/layers/upper,workdir=$work/layers/work" \
    "$work/overlayfs" && mounted=("$work/overlayfs" "${mounted[@]}") || try overlayfs
image ntfs 512 && mkntfs -q -F -Q "$work/ntfs.img" >/dev/null 2>&1 && ntfs-3g "$work/ntfs.img" "$work/ntfs" &&
  mounted+=("$work/ntfs") || try ntfs-3g
image exfat 512 && mkfs.exfat "$work/exfat.img" >/dev/null && loop=$(losetup -f --show "$work/exfat.img") &&
  loops+=("$loop") && mount.exfat-fuse "$loop" "$work/exfat" >/dev/null 2>&1 && mounted+=("$work/exfat") || try exfat-fuse
image fat 512 && mkfs.vfat -F 32 "$work/fat.img" >/dev/null && fusefat -o rw+ "$work/fat.img" "$work/fat" >/dev/null &&
  mounted+=("$work/fat") || try fusefat

export SND_EXTRACTOR_FILESYSTEMS="tmpfs=$work/tmpfs ext4=$work/ext4 xfs=$work/xfs btrfs=$work/btrfs \
overlayfs=$work/overlayfs ntfs-3g=$work/ntfs exfat-fuse=$work/exfat fusefat=$work/fat"
"$program" "$@"
