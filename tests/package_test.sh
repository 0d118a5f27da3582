#!/usr/bin/env bash
# Installs the built tool with cmake --install, and as a .deb unpacked into a
# scratch root, and runs each installed copy on the demo archive.
#   package_test.sh BUILD_DIR DEMO_ARCHIVE
set -euo pipefail
build=$1 demo=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

expected=$(printf '%s\n' "4 sounds in $demo." \
  "extract [tones/a4_440hz.wav]...done." "extract [tones/c5_523hz.wav]...done." \
  "extract [tones/e5_659hz.wav]...done." "extract [chords/a_minor.wav]...done.")

check_installed() {  # ROOT: the tree holding usr/ or the install prefix
  local root=$1 out
  [ -f "$root/share/man/man1/snd_extractor.1.gz" ] || { echo "no manual page under $root"; exit 1; }
  [ -f "$root/share/doc/snd-extractor/copyright" ] || { echo "no copyright file under $root"; exit 1; }
  mkdir "$root/run"
  out=$(cd "$root/run" && "$root/bin/snd_extractor" "$demo")
  [ "$out" = "$expected" ] || { echo "unexpected output from $root/bin/snd_extractor:"; echo "$out"; exit 1; }
  [ "$(ls "$root/run" | wc -l)" = 4 ] || { echo "expected 4 files from $root"; exit 1; }
  cmp -s "$root/run/a_minor.wav" <(cd "$scratch" && mkdir -p ref && cd ref && "$build/snd_extractor" "$demo" >/dev/null && cat a_minor.wav)
}

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
check_installed "$scratch/prefix"

(cd "$build" && cpack -G DEB -B "$scratch/package" >/dev/null)
deb=$(ls "$scratch"/package/*.deb)
dpkg-deb --field "$deb" Package | grep -qx snd-extractor
dpkg-deb -x "$deb" "$scratch/root"
check_installed "$scratch/root/usr"
echo "installed tool and .deb work: $(basename "$deb")"
