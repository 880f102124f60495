#!/usr/bin/env bash
# Runs the commands of README.md against a test image, as a reader would after
# the README's first command: every line of its ```sh blocks, in order, in a
# scratch folder laid out like the repository after scripts/demo.sh
# (build/app, build/cli and build/demo.img).
#
#   scripts/readme-check.sh BUILD_DIR IMAGE
#
# Lines that set the machine up (bash scripts/*.sh, apt install) are checked,
# not run: the script must exist and parse (scripts/demo.sh must build the
# programs the README calls), the package must be what
# scripts/package.sh makes. The window ("quillmere ...") would wait for a
# user; it is run with --help instead. Any other line that fails fails the check.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: $0 BUILD_DIR IMAGE}" && pwd)
image=$(realpath "${2:?usage: $0 BUILD_DIR IMAGE}")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/build"
ln -s "$build/cli" "$work/build/cli"
[ -d "$build/app" ] && ln -s "$build/app" "$work/build/app"
cp --sparse=always "$image" "$work/build/demo.img"
ln -s "$root/scripts" "$work/scripts"

# The ```sh blocks, one command a line.
mapfile -t commands < <(awk '/^```sh$/ {on = 1; next} /^```/ {on = 0} on && NF' "$root/README.md")
[ "${#commands[@]}" -gt 0 ] || { echo "README.md has no \`\`\`sh block" >&2; exit 1; }

ran=0
script="$work/run.sh"
: >"$script"
for c in "${commands[@]}"; do
    case $c in
        "bash scripts/"*)
            file=${c#bash }
            file=${file%% *}
            [ -f "$root/$file" ] || { echo "README names a missing script: $file" >&2; exit 1; }
            bash -n "$root/$file"
            # The set-up script builds every program the README then calls.
            if [ "$file" = scripts/demo.sh ]; then
                targets=$(grep -E 'cmake --build .*--target' "$root/$file" | sed 's/.*--target//')
                for program in quillmere quillmere-cli; do
                    grep -qE "(^| )$program( |\$)" <<<"$targets" ||
                        { echo "scripts/demo.sh does not build $program" >&2; exit 1; }
                done
            fi
            echo "checked: $c" ;;
        "apt install ./build-package/quillmere_"*|"sudo apt install ./build-package/quillmere_"*)
            grep -q 'cpack -G DEB' "$root/scripts/package.sh"
            echo "checked: $c" ;;
        "quillmere "*|"build/app/quillmere "*)
            printf '%s\n' "QT_QPA_PLATFORM=offscreen ${c%% *} --help >/dev/null" >>"$script"
            ran=$((ran + 1)) ;;
        *)
            printf '%s\n' "$c" >>"$script"
            ran=$((ran + 1)) ;;
    esac
done
echo "running $ran README commands in $work"
if ! (cd "$work" && PATH="$work/build/cli:$work/build/app:$PATH" \
        bash -euo pipefail -x "$script" >"$work/stdout.log"); then
    echo "a README command failed; the end of its output:" >&2
    tail -n 20 "$work/stdout.log" >&2
    exit 1
fi
echo "README check: every command ran"
