#!/usr/bin/env bash
# Runs tests with their scratch folders on real file systems, each in a
# loopback image mounted with its usual driver:
#   filesystems.sh rows PROGRAM       PROGRAM once, every mount named in
#                                     SND_EXTRACTOR_FILESYSTEMS (NAME=PATH ...)
#   filesystems.sh each PROGRAM       each test of the GoogleTest PROGRAM on a
#                                     fresh mount of each file system, as TMPDIR
# Needs root, /dev/loop-control and /dev/fuse, and the tools of
# xfsprogs btrfs-progs ntfs-3g exfat-fuse exfatprogs fusefat dosfstools strace;
# without the devices (or as another user) it says so once and skips.
set -uo pipefail
mode=$1 program=$2
if [ "$(id -u)" != 0 ] || [ ! -e /dev/loop-control ] || [ ! -e /dev/fuse ]; then
  echo "skipped: the file-system rows need root, /dev/loop-control and /dev/fuse"
  exit 0
fi
mountpoint -q /sys/fs/fuse/connections || mount -t fusectl fusectl /sys/fs/fuse/connections 2>/dev/null
work=$(mktemp -d /tmp/snd_extractor_fs.XXXXXX)
mounted=()  # innermost first
loops=()

# Lets go of a mount: a FUSE driver that hangs has its connection aborted.
unmount() {
  umount "$1" 2>/dev/null && return
  local connection abort
  connection=$(mountpoint -d "$1" 2>/dev/null | cut -d: -f2)
  abort=/sys/fs/fuse/connections/$connection/abort
  [ -n "$connection" ] && [ -e "$abort" ] && echo 1 >"$abort"
  umount -l "$1" 2>/dev/null
  pkill -9 -f " $1\$" 2>/dev/null  # a driver that spins on after the abort
}
teardown() {
  for at in "${mounted[@]}"; do unmount "$at"; done
  for loop in "${loops[@]}"; do losetup -d "$loop" 2>/dev/null; done
  mounted=() loops=()
}
trap 'teardown; rm -rf "$work"' EXIT

# (SND_EXTRACTOR_ONLY, a list of these names, runs a few of them.)
filesystems=(${SND_EXTRACTOR_ONLY:-tmpfs ext4 xfs btrfs overlayfs ntfs-3g exfat-fuse fusefat})

# Mounts a fresh file system NAME at $work/NAME (512 MiB, sparse).
mount_fresh() {
  local at=$work/$1 image=$work/$1.img loop
  rm -rf "$at" "$image" && mkdir -p "$at" && truncate -s 512M "$image" || return 1
  case $1 in
    tmpfs) mount -t tmpfs -o size=512m tmpfs "$at" ;;
    ext4) mkfs.ext4 -q "$image" && mount -o loop "$image" "$at" ;;
    xfs) mkfs.xfs -q "$image" && mount -o loop "$image" "$at" ;;
    btrfs) mkfs.btrfs -q "$image" >/dev/null && mount -o loop "$image" "$at" ;;
    overlayfs)  # as containers use it, its upper layer on a tmpfs
      mkdir -p "$work/lower" "$work/layers" && mount -t tmpfs -o size=512m tmpfs "$work/layers" &&
        mounted=("$work/layers" "${mounted[@]}") && mkdir "$work/layers/upper" "$work/layers/work" &&
        mount -t overlay overlay \
          -o "lowerdir=$work/lower,upperdir=$work/layers/upper,workdir=$work/layers/work" "$at" ;;
    ntfs-3g) mkntfs -q -F -Q "$image" >/dev/null 2>&1 && ntfs-3g "$image" "$at" ;;
    exfat-fuse)  # through a loop device: it needs a block device
      mkfs.exfat "$image" >/dev/null && loop=$(losetup -f --show "$image") && loops+=("$loop") &&
        mount.exfat-fuse "$loop" "$at" >/dev/null 2>&1 ;;
    fusefat) mkfs.vfat -F 32 "$image" >/dev/null && fusefat -o rw+ "$image" "$at" >/dev/null 2>&1 ;;
  esac || { echo "cannot mount $1" >&2; return 1; }
  mounted=("$at" "${mounted[@]}")
}

if [ "$mode" = rows ]; then
  list=
  for name in "${filesystems[@]}"; do
    mount_fresh "$name" || exit 1
    list+="$name=$work/$name "
  done
  SND_EXTRACTOR_FILESYSTEMS=$list "$program"
  exit
fi

# each: a fresh mount for every test, which a driver's state from earlier
# tests cannot reach (fusefat garbles a file written over, and once spun on an
# unlink after many tests); each test within its time.
tests=$("$program" --gtest_list_tests | awk '/^[^ ]/ {suite=$1} /^  / {print suite $1}')
passed=0 failed=0
for name in "${filesystems[@]}"; do
  for test in $tests; do
    mount_fresh "$name" || exit 1
    if TMPDIR=$work/$name timeout -k 10 300 "$program" --gtest_filter="$test" >"$work/log" 2>&1; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1))
      echo "== $test on $name:"
      grep -v '^\[ \|^Running main\|^Note:\|^$' "$work/log" | head -40
    fi
    teardown
  done
done
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
