#!/usr/bin/env bash
# Builds the Debian package (CPack DEB) in build-package/ and, with --check,
# installs it with apt, runs the installed programs from /usr/bin (the
# version, and a scan of a test image), and removes it again.
#
#   scripts/package.sh            build build-package/quillmere_VERSION_ARCH.deb
#   scripts/package.sh --check    build, then install, run and remove (root only)
#
# QM_PACKAGE_BUILD=DIR builds in DIR instead (an existing build tree is reused).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${QM_PACKAGE_BUILD:-$root/build-package}
check=0
[ "${1:-}" = "--check" ] && check=1

jobs=$(nproc 2>/dev/null || echo 2)
if [ ! -f "$build/CMakeCache.txt" ]; then
    mkdir -p "$build"
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_TESTS=OFF \
        -DQM_BUILD_TOOLS=OFF >"$build/configure.log" 2>&1 ||
        { tail -n 30 "$build/configure.log"; exit 1; }
fi
cmake --build "$build" -j "$jobs" --target quillmere-cli quillmere
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls -t "$build"/quillmere_*.deb | head -n 1)
echo "Package: $deb"
dpkg-deb --info "$deb" | sed -n 's/^ \(Depends\|Version\|Architecture\):/  \1:/p'
[ "$check" -eq 1 ] || exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "--check installs the package: run it as root" >&2
    exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"; dpkg -s quillmere >/dev/null 2>&1 && apt-get remove -y -qq quillmere >/dev/null 2>&1 || true' EXIT
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq --no-install-recommends "$deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; exit 1; }

fail() { echo "package check: $*" >&2; exit 1; }
for f in /usr/bin/quillmere-cli /usr/bin/quillmere /usr/share/man/man1/quillmere-cli.1 \
         /usr/share/man/man1/quillmere.1 /usr/share/applications/quillmere.desktop \
         /usr/share/icons/hicolor/scalable/apps/quillmere.svg \
         /usr/share/bash-completion/completions/quillmere-cli \
         /usr/share/polkit-1/actions/org.quillmere.policy; do
    [ -e "$f" ] || fail "$f is not installed"
done
/usr/bin/quillmere-cli --version | grep -q '^quillmere-cli ' || fail "--version"
# The desktop entry's root action starts the installed window.
[ "$(sed -n 's/^Exec=pkexec //p' /usr/share/applications/quillmere.desktop)" = /usr/bin/quillmere ] ||
    fail "the desktop entry's pkexec action does not start /usr/bin/quillmere"
gzip -dc tests/data/reference/volumes/file_4k.img.gz >"$work/file_4k.img"
(cd / && /usr/bin/quillmere-cli scan "$work/file_4k.img") >"$work/scan.tsv" ||
    fail "scan of a test image"
head -n 1 "$work/scan.tsv" | grep -q '^position	record	name' || fail "scan printed no header"
/usr/bin/quillmere-cli sources "$work/file_4k.img" | grep -q 'New Volume' || fail "sources"
QT_QPA_PLATFORM=offscreen /usr/bin/quillmere --help >/dev/null || fail "the window's --help"

apt-get remove -y -qq quillmere >/dev/null 2>&1 || fail "apt remove"
for f in /usr/bin/quillmere-cli /usr/bin/quillmere /usr/share/applications/quillmere.desktop; do
    [ ! -e "$f" ] || fail "$f stayed after removal"
done
echo "package check: installed, ran from /usr/bin and removed cleanly"
