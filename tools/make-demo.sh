#!/usr/bin/env bash
# Makes the demo volume (label "Demo": a few dozen deleted files among live ones):
#   tools/make-demo.sh /tmp/demo.img
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 OUT.img" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
exec "$here/make-volume.sh" "$here/volumes/demo.desc" "$1"
