#!/usr/bin/env bash
# The native window under wine on a virtual display, in code page 936:
# quillmere_window_test starts build-win's quillmere.exe on an image made by
# the normal build's qm-mkvolume, drives it through its own messages and
# compares what it lists and recovers with the CLI's listing and the image
# maker's manifest. Saves docs/screenshot-windows.png after the scan.
#
#   scripts/test-windows-window.sh [BUILD-WIN]     (scripts/test-windows.sh runs it)
#   QM_WINDOW_EXE=build-win/package/quillmere/quillmere.exe QM_WINE_PREFIX=/tmp/fresh \
#     scripts/test-windows-window.sh               # the packaged program, a fresh prefix
#
# With QM_WINDOW_CLI (a quillmere-cli.exe) that program's listing of the image,
# in the same prefix, must equal the Linux CLI's, line for line.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$(cd "${1:-${QM_WIN_BUILD:-$ROOT/build-win}}" && pwd)
LINUX_BUILD=${QM_LINUX_BUILD:-$ROOT/build}
WORK="$BUILD/window-test"
IMAGE_NAME=${QM_WINDOW_IMAGE:-c4096}
SHOT=${QM_WINDOW_SCREENSHOT:-$ROOT/docs/screenshot-windows.png}

for tool in xvfb-run import localedef wine; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "test-windows-window: $tool is missing; run scripts/install-deps.sh" >&2
    exit 1
  fi
done
for exe in quillmere.exe quillmere_window_test.exe; do
  found=$(find "$BUILD" -name "$exe" -not -path '*/wineprefix/*' | head -1)
  if [ -z "$found" ]; then
    echo "test-windows-window: $exe was not built in $BUILD" >&2
    exit 1
  fi
done
EXE=${QM_WINDOW_EXE:-$(find "$BUILD/app" -name quillmere.exe | head -1)}
EXE=$(cd "$(dirname "$EXE")" && pwd)/$(basename "$EXE")
TEST=$(find "$BUILD" -name quillmere_window_test.exe -not -path '*/wineprefix/*' | head -1)

# ---- The image and what the CLI of the normal build lists on it ----------------------
if [ ! -x "$LINUX_BUILD/tools/qm-mkvolume" ] || [ ! -x "$LINUX_BUILD/cli/quillmere-cli" ]; then
  if [ ! -f "$LINUX_BUILD/build.ninja" ]; then
    cmake -S "$ROOT" -B "$LINUX_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
  cmake --build "$LINUX_BUILD" -j "${QM_JOBS:-2}" -t qm-mkvolume quillmere-cli
fi
mkdir -p "$WORK"
rm -rf "$WORK/out" "$WORK/sync"
mkdir -p "$WORK/out" "$WORK/sync"
cmake -DMKVOLUME="$LINUX_BUILD/tools/qm-mkvolume" -DDESC="$ROOT/tools/volumes/$IMAGE_NAME.desc" \
  -DOUT="$WORK/$IMAGE_NAME.img" -P "$ROOT/tests/integration/MakeImage.cmake" >/dev/null
# The window lists files only: the CLI's deleted folders are left out.
TZ=UTC "$LINUX_BUILD/cli/quillmere-cli" scan "$WORK/$IMAGE_NAME.img" >"$WORK/scan-all.tsv"
awk -F'\t' 'NR == 1 || $4 != "folder"' "$WORK/scan-all.tsv" >"$WORK/scan.tsv"

# ---- wine in Chinese: code page 936, with glyphs for the captions and names ------------
# The locale is compiled into the build folder rather than into the system.
export LOCPATH="$WORK/locale"
if [ ! -d "$LOCPATH/zh_CN.UTF-8" ]; then
  mkdir -p "$LOCPATH/zh_CN.UTF-8"
  localedef -i zh_CN -f UTF-8 "$LOCPATH/zh_CN.UTF-8" || true
fi
export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8
export WINEPREFIX=${QM_WINE_PREFIX:-$BUILD/wineprefix-zh}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "test-windows-window: creating the Chinese wine prefix" >&2
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
fi
# The window's font is Tahoma -11. wine's own Tahoma (fonts-wine) is not found
# outside the prefix's Fonts folder, and without it wine draws the Latin
# letters from whatever it finds. Tahoma has no Chinese glyphs: its regular and
# bold faces keep their Latin ones and take the rest from WenQuanYi Micro Hei
# (fonts-wqy-microhei) through font linking, which stays legible at 11 pixels
# (Zen Hei loses strokes there); the dialog and CJK system fonts are replaced by it.
mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
for font in tahoma.ttf tahomabd.ttf; do
  if [ -f "/usr/share/wine/fonts/$font" ]; then
    cp -f "/usr/share/wine/fonts/$font" "$WINEPREFIX/drive_c/windows/Fonts/"
  else
    echo "test-windows-window: /usr/share/wine/fonts/$font is missing (fonts-wine)" >&2
  fi
done
cat >"$WORK/fonts.reg" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes]
"MS Shell Dlg"="WenQuanYi Micro Hei"
"MS Shell Dlg 2"="WenQuanYi Micro Hei"
"Microsoft Sans Serif"="WenQuanYi Micro Hei"
"SimSun"="WenQuanYi Micro Hei"
"NSimSun"="WenQuanYi Micro Hei"
"Segoe UI"="WenQuanYi Micro Hei"

; No window manager on Xvfb: wine draws the frame and the caption itself.
[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Decorated"="N"
"Managed"="N"
REG
wine regedit /S "$(winepath -w "$WORK/fonts.reg" 2>/dev/null)" >/dev/null 2>&1 || true
wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
  /v Tahoma /f >/dev/null 2>&1 || true
for face in Tahoma 'Tahoma Bold'; do
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
    /v "$face" /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f >/dev/null 2>&1 || true
done
wineserver -w || true

# ---- The window on Xvfb ----------------------------------------------------------------
export EXE TEST WORK SHOT IMAGE_NAME
run_window() {
  rm -rf "$WORK/out" "$WORK/sync" "$WORK/screenshot.png"
  mkdir -p "$WORK/out" "$WORK/sync"
  xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    set -u
    win() { winepath -w "$1" 2>/dev/null; }
    wine "$TEST" "$(win "$EXE")" "$(win "$WORK/$IMAGE_NAME.img")" \
      "$(win "$WORK/$IMAGE_NAME.img.manifest.tsv")" "$(win "$WORK/scan.tsv")" \
      "$(win "$WORK/out")" "$(win "$WORK/sync")" &
    test_pid=$!
    # The test says when the scanned window is on screen (bounded wait).
    for _ in $(seq 1 1200); do
      [ -f "$WORK/sync/screenshot.ready" ] && break
      kill -0 "$test_pid" 2>/dev/null || break
      sleep 0.1
    done
    if [ -f "$WORK/sync/screenshot.ready" ]; then
      sleep 1  # let the last rows paint
      # The window: 867 x 603 with its frame, at 125, 88.
      import -window root -crop 867x603+125+88 +repage "$WORK/screenshot.png" 2>/dev/null ||
        import -window root "$WORK/screenshot.png"
      touch "$WORK/sync/screenshot.done"
    fi
    wait "$test_pid"
  ' 2>&1 | tee "$WORK/run.log"
  local rc=${PIPESTATUS[0]}
  # Wait for the server to be gone: the next wine program must not meet a
  # server that is still shutting down.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  return "$rc"
}
started=$(date +%s)
set +e
run_window
rc=$?
# The test program always ends with a PASSED or FAILED line. Without one it
# never ran (wine or the virtual display did not come up): that is the
# machine, not the window, and is tried once more.
if [ "$rc" -ne 0 ] && ! grep -qE '^(PASSED|FAILED): ' "$WORK/run.log"; then
  echo "test-windows-window: the test program did not run (exit $rc); starting it once more"
  run_window
  rc=$?
fi
if [ -n "${QM_WINDOW_CLI:-}" ]; then
  TZ=UTC wine "$QM_WINDOW_CLI" scan "$(winepath -w "$WORK/$IMAGE_NAME.img" 2>/dev/null)" |
    tr -d '\r' >"$WORK/scan-windows.tsv"
  if cmp -s "$WORK/scan-all.tsv" "$WORK/scan-windows.tsv"; then
    echo "ok   $(basename "$QM_WINDOW_CLI") lists the same $(($(wc -l <"$WORK/scan-all.tsv") - 1)) rows as the Linux CLI"
  else
    echo "FAIL $(basename "$QM_WINDOW_CLI") lists other rows than the Linux CLI:"
    diff "$WORK/scan-all.tsv" "$WORK/scan-windows.tsv" | head -n 20
    rc=1
  fi
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
fi
set -e
if [ -f "$WORK/screenshot.png" ]; then
  cp "$WORK/screenshot.png" "$SHOT"
  echo "test-windows-window: screenshot saved to $SHOT"
fi
echo "test-windows-window: the window test on $IMAGE_NAME took $(( $(date +%s) - started )) s, exit $rc"
exit "$rc"
