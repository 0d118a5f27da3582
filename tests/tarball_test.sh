#!/usr/bin/env bash
# Unpacks the static Linux tarball and runs its binary on the demo archive:
# one folder, a static binary that needs no shared library, its manual, the
# README and the licence; the binary of another machine runs under its
# emulator (qemu-aarch64).
#   tarball_test.sh TARBALL DEMO_ARCHIVE [EMULATOR]
set -euo pipefail
tarball=$1 demo=$2 emulator=${3:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

tar -xzf "$tarball" -C "$scratch"
folders=$(ls "$scratch")
[ "$(echo "$folders" | wc -l)" = 1 ] || { echo "more than one top-level entry: $folders"; exit 1; }
root=$scratch/$folders
[ "$(cd "$root" && ls | tr '\n' ' ')" = "LICENSE README.md snd_extractor snd_extractor.1.gz " ] ||
  { echo "unexpected contents:"; ls "$root"; exit 1; }
machine=${tarball##*-linux-} machine=${machine%.tar.gz}  # x86_64, aarch64
file "$root/snd_extractor" | grep -q "${machine/_/-}" || { echo "not for $machine:"; file "$root/snd_extractor"; exit 1; }
file "$root/snd_extractor" | grep -q "statically linked" || { file "$root/snd_extractor"; exit 1; }
file "$root/snd_extractor" | grep -q ", stripped" || { echo "not stripped"; exit 1; }
if ldd "$root/snd_extractor" 2>&1 | grep -q "=>"; then echo "it loads shared libraries"; exit 1; fi
mkdir "$scratch/run"
out=$(cd "$scratch/run" && $emulator "$root/snd_extractor" "$demo")
[ "$out" = "$(printf '%s\n' "4 sounds in $demo." "extract [tones/a4_440hz.wav]...done." \
  "extract [tones/c5_523hz.wav]...done." "extract [tones/e5_659hz.wav]...done." \
  "extract [chords/a_minor.wav]...done.")" ] || { echo "unexpected output:"; echo "$out"; exit 1; }
echo "the static tarball unpacks to $folders and its binary runs with no shared library"
