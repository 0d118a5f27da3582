#!/usr/bin/env bash
# Installs the built tool with cmake --install and runs the installed copy on
# the demo archive; then checks that the .deb holds exactly what
# cmake --install installs, and runs its copy too (where dpkg-deb is here).
#   package_test.sh BUILD_DIR DEMO_ARCHIVE
set -euo pipefail
build=$1 demo=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

expected=$(printf '%s\n' "4 sounds in $demo." \
  "extract [tones/a4_440hz.wav]...done." "extract [tones/c5_523hz.wav]...done." \
  "extract [tones/e5_659hz.wav]...done." "extract [chords/a_minor.wav]...done.")
installed="./bin/snd_extractor
./share/doc/snd-extractor/changelog.gz
./share/doc/snd-extractor/copyright
./share/man/man1/snd_extractor.1.gz"

check_installed() {  # ROOT: the tree holding usr/ or the install prefix
  local root=$1 out
  [ "$(cd "$root" && find . -type f | sort)" = "$installed" ] ||
    { echo "$root does not hold exactly:"; echo "$installed"; (cd "$root" && find . -type f); exit 1; }
  mkdir "$root/run"
  out=$(cd "$root/run" && "$root/bin/snd_extractor" "$demo")
  [ "$out" = "$expected" ] || { echo "unexpected output from $root/bin/snd_extractor:"; echo "$out"; exit 1; }
  [ "$(ls "$root/run" | tr '\n' ' ')" = "a4_440hz.wav a_minor.wav c5_523hz.wav e5_659hz.wav " ] ||
    { echo "unexpected files from $root:"; ls "$root/run"; exit 1; }
  # The demo's sounds are playable: a RIFF/WAVE header, and the data that it
  # announces.
  for wav in "$root"/run/*.wav; do
    [ "$(head -c 4 "$wav")$(tail -c +9 "$wav" | head -c 8)" = "RIFFWAVEfmt " ] || { echo "$wav is no wave file"; exit 1; }
  done
}

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
check_installed "$scratch/prefix"
echo "cmake --install delivers a working tool and its documents"

if ! command -v dpkg-deb >/dev/null; then
  echo "the .deb is not checked here: dpkg-deb is not installed"
  exit 0
fi
(cd "$build" && cpack -G DEB -B "$scratch/package" >/dev/null)
deb=$(ls "$scratch"/package/*.deb)
dpkg-deb --field "$deb" Package | grep -qx snd-extractor
dpkg-deb -x "$deb" "$scratch/root"
check_installed "$scratch/root/usr"
echo "the .deb holds what cmake --install installs: $(basename "$deb")"
