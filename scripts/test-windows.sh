#!/usr/bin/env bash
# Builds the core, the command line, the native window (quillmere.exe) and
# their tests for 64-bit Windows with MinGW-w64 and runs them under wine, on
# image files: first the unit tests (ctest), then the window itself on a
# virtual display (Xvfb), driven from outside by quillmere_window_test, in
# the Chinese code page 936. A screenshot of the window after its scan goes to
# docs/screenshot-windows.png. Last, the release zip (scripts/package-windows.sh)
# is unpacked and its two programs tested in a fresh wine prefix. The last
# lines are the summaries.
#
#   scripts/test-windows.sh            # build in build-win/, run every test
#   QM_WIN_BUILD=/tmp/w QM_JOBS=4 scripts/test-windows.sh -R platform
#   QM_WINDOW_TEST=0 scripts/test-windows.sh     # skip the window on Xvfb
#   QM_PACKAGE_TEST=0 scripts/test-windows.sh    # skip the zip
#
# The window test's image is made by qm-mkvolume of the normal build
# (QM_LINUX_BUILD, default build/), built there when missing. Extra arguments
# go to ctest.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${QM_WIN_BUILD:-$ROOT/build-win}
JOBS=${QM_JOBS:-2}

for tool in x86_64-w64-mingw32-g++-posix wine cmake ninja; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "test-windows: $tool is missing; run scripts/install-deps.sh" >&2
    exit 1
  fi
done

# A wine prefix of our own, quiet, and without the .NET and HTML engines that
# a fresh prefix would offer to download.
export WINEPREFIX="$BUILD/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$BUILD"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "test-windows: creating the wine prefix" >&2
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
fi

cmake -S "$ROOT" -B "$BUILD" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DQM_WINEPREFIX="$WINEPREFIX" -DQM_BUILD_GUI=OFF -DQM_BUILD_TOOLS=OFF >/dev/null
# Keep going past a target that does not build for Windows: its tests then
# show up in ctest's summary as not built, and the rest still run.
built=0
cmake --build "$BUILD" -j "$JOBS" -- -k 0 || built=$?
if [ "$built" -ne 0 ]; then
  echo "test-windows: some targets failed to build for Windows (see above)" >&2
fi

# One wine server for all test processes, stopped when we are done. The first
# program started in it brings up wine's services, which takes a few seconds:
# do that now rather than inside a test's time limit.
wineserver -p
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wine cmd /c exit >/dev/null 2>&1 || true

tested=0
ctest --test-dir "$BUILD" -j "$JOBS" --timeout 300 --output-on-failure "$@" || tested=$?

windowed=0
if [ "${QM_WINDOW_TEST:-1}" != 0 ]; then
  # The window on every kind of test volume: c4096 gives the README's
  # screenshot, the others only their checks. On each, the Windows CLI must
  # list what the Linux one does.
  export QM_WINDOW_CLI="$BUILD/cli/quillmere-cli.exe"
  bash "$ROOT/scripts/test-windows-window.sh" "$BUILD" || windowed=$?
  for image in ${QM_WINDOW_IMAGES:-demo c512 c65536 c2m rec4096 fragmented-mft compressed-c512 compressed-c2048 content}; do
    QM_WINDOW_IMAGE=$image QM_WINDOW_SCREENSHOT="$BUILD/screenshot-$image.png" \
      bash "$ROOT/scripts/test-windows-window.sh" "$BUILD" || windowed=$?
  done
  unset QM_WINDOW_CLI
  # The volume with files over 2 and 4 GiB by the Windows CLI's listing alone:
  # recovering its 6 GiB under wine would take minutes (the Linux tests do).
  linux=${QM_LINUX_BUILD:-$ROOT/build}
  large="$BUILD/window-large/large.img"
  mkdir -p "$(dirname "$large")"
  if cmake -DMKVOLUME="$linux/tools/qm-mkvolume" -DDESC="$ROOT/tools/volumes/large.desc" \
    -DOUT="$large" -P "$ROOT/tests/integration/MakeImage.cmake" >/dev/null &&
    TZ=UTC "$linux/cli/quillmere-cli" scan "$large" >"$large.linux.tsv" &&
    TZ=UTC wine "$BUILD/cli/quillmere-cli.exe" scan "$(winepath -w "$large" 2>/dev/null)" |
    tr -d '\r' >"$large.windows.tsv" && cmp -s "$large.linux.tsv" "$large.windows.tsv"; then
    echo "test-windows-window: quillmere-cli.exe lists the large volume's $(($(wc -l <"$large.linux.tsv") - 1)) rows as the Linux CLI does, exit 0"
  else
    echo "FAIL quillmere-cli.exe lists other rows than the Linux CLI on the large volume:"
    diff "$large.linux.tsv" "$large.windows.tsv" 2>&1 | head -n 20
    echo "test-windows-window: the listing of the large volume, exit 1"
    windowed=1
  fi
  rm -f "$large"
fi

# The release: the zip, unpacked, in a wine prefix made for it alone, on an
# image: the packaged window through the same test, and the packaged command
# line's listing against the Linux one.
packaged=0
if [ "${QM_PACKAGE_TEST:-1}" != 0 ]; then
  QM_WIN_BUILD="$BUILD" QM_JOBS="$JOBS" bash "$ROOT/scripts/package-windows.sh" || packaged=$?
  if [ "$packaged" -ne 0 ]; then
    echo "test-windows-window: packaging the zip failed, exit $packaged"
  elif [ "${QM_WINDOW_TEST:-1}" != 0 ]; then
    UNPACKED="$BUILD/zip-test"
    rm -rf "$UNPACKED"
    mkdir -p "$UNPACKED"
    python3 -m zipfile -e "$BUILD/quillmere-windows-x64.zip" "$UNPACKED"
    QM_WINDOW_EXE="$UNPACKED/quillmere/quillmere.exe" QM_WINDOW_CLI="$UNPACKED/quillmere/quillmere-cli.exe" \
      QM_WINE_PREFIX="$UNPACKED/wineprefix" QM_WINDOW_SCREENSHOT="$BUILD/screenshot-zip.png" \
      bash "$ROOT/scripts/test-windows-window.sh" "$BUILD" || packaged=$?
  fi
fi
[ "$built" -eq 0 ] && [ "$tested" -eq 0 ] && [ "$windowed" -eq 0 ] && [ "$packaged" -eq 0 ]
