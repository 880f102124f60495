#!/usr/bin/env bash
# Makes build-win/quillmere-windows-x64.zip: the native window (quillmere.exe)
# and the command line (quillmere-cli.exe), both static MinGW-w64 builds that
# need no DLL beyond Windows' own, with a README in Chinese and English.
#
#   scripts/package-windows.sh            # builds in build-win/ as test-windows.sh does
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${QM_WIN_BUILD:-$ROOT/build-win}
JOBS=${QM_JOBS:-2}
ZIP="$BUILD/quillmere-windows-x64.zip"

for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump x86_64-w64-mingw32-strip cmake ninja zip; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "package-windows: $tool is missing; run scripts/install-deps.sh" >&2
    exit 1
  fi
done

if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_GUI=OFF -DQM_BUILD_TOOLS=OFF >/dev/null
fi
cmake --build "$BUILD" -j "$JOBS" -t quillmere_win quillmere-cli

STAGE="$BUILD/package/quillmere"
rm -rf "$BUILD/package" "$ZIP"
mkdir -p "$STAGE"
cp "$BUILD/app/win32/quillmere.exe" "$BUILD/cli/quillmere-cli.exe" "$STAGE/"
x86_64-w64-mingw32-strip "$STAGE/quillmere.exe" "$STAGE/quillmere-cli.exe"

# Only Windows' own DLLs may be imported.
allowed='^(kernel32|user32|gdi32|comctl32|comdlg32|shell32|advapi32|ole32|oleaut32|msvcrt|ucrtbase|ws2_32|shlwapi|version|api-ms-win-[a-z0-9-]+)\.dll$'
for exe in "$STAGE"/*.exe; do
  while read -r dll; do
    if ! echo "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$allowed"; then
      echo "package-windows: $(basename "$exe") needs $dll, which Windows does not have" >&2
      exit 1
    fi
  done < <(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
done

size_of() { stat -c %s "$1"; }
mib() { awk -v b="$1" 'BEGIN { printf "%.2f MiB", b / 1048576 }'; }
gui_size=$(size_of "$STAGE/quillmere.exe")
cli_size=$(size_of "$STAGE/quillmere-cli.exe")

# The README, in UTF-8 with a byte-order mark so that Notepad reads it right.
{
  printf '\xEF\xBB\xBF'
  sed -e "s/@GUI_SIZE@/$(mib "$gui_size") ($gui_size bytes)/" \
      -e "s/@CLI_SIZE@/$(mib "$cli_size") ($cli_size bytes)/" \
      "$ROOT/docs/windows-package-readme.txt" | sed 's/$/\r/'
} >"$STAGE/README.txt"

(cd "$BUILD/package" && zip -q -r -9 "$ZIP" quillmere)
echo "package-windows: $ZIP"
echo "  quillmere.exe      $(mib "$gui_size")"
echo "  quillmere-cli.exe  $(mib "$cli_size")"
