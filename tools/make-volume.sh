#!/usr/bin/env bash
# Makes an NTFS test image from a description under tools/volumes/:
#   tools/make-volume.sh tools/volumes/c4096.desc /tmp/c4096.img
# writes /tmp/c4096.img (a sparse file) and /tmp/c4096.img.manifest.tsv.
# Uses $QM_MKVOLUME when set, else a qm-mkvolume from a build directory of the
# repository, else builds one in build-mkvolume/.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 DESCRIPTION OUT.img" >&2
  exit 2
fi
desc=$1
out=$2
root=$(cd "$(dirname "$0")/.." && pwd)

mkvolume=${QM_MKVOLUME:-}
if [ -z "$mkvolume" ]; then
  for candidate in "$root"/build/tools/qm-mkvolume "$root"/build*/tools/qm-mkvolume; do
    if [ -x "$candidate" ]; then
      mkvolume=$candidate
      break
    fi
  done
fi
if [ -z "$mkvolume" ]; then
  echo "building qm-mkvolume in $root/build-mkvolume" >&2
  cmake -S "$root" -B "$root/build-mkvolume" -G Ninja -DQM_BUILD_GUI=OFF -DQM_BUILD_TESTS=OFF >/dev/null
  cmake --build "$root/build-mkvolume" --target qm-mkvolume -j2 >/dev/null
  mkvolume=$root/build-mkvolume/tools/qm-mkvolume
fi

mkdir -p "$(dirname "$out")"
exec "$mkvolume" "$desc" "$out" "$out.manifest.tsv"
