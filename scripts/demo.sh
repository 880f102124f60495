#!/usr/bin/env bash
# Installs what is missing, builds (Release, in build/) the window, the
# command-line tool and the test-volume maker, makes the demo volume and opens
# the window with it listed, selected and scanned.
#
# Without a display the window is drawn on a virtual X server (xvfb-run) or,
# failing that, off screen, and a screenshot of it is saved instead:
# build/quillmere-demo.png.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$jobs" --target quillmere quillmere-cli qm-mkvolume

image=build/demo.img
tools/make-demo.sh "$image"
echo "Built: $root/build/app/quillmere (the window), $root/build/cli/quillmere-cli"
echo "Demo volume: $root/$image"

app=build/app/quillmere
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec "$app" --scan "$image"
fi

shot=build/quillmere-demo.png
rm -f "$shot"
if command -v xvfb-run >/dev/null 2>&1; then
    QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x800x24" \
        "$app" --scan --screenshot "$shot" "$image"
else
    QT_QPA_PLATFORM=offscreen "$app" --scan --screenshot "$shot" "$image"
fi
if [ ! -s "$shot" ]; then
    echo "No display, and the screenshot could not be made." >&2
    exit 1
fi
echo "No display here: the window was drawn off screen after scanning $image."
echo "Screenshot: $root/$shot"
