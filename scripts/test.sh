#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the normal build, an
# ASan+UBSan build, a TSan build, the Windows build under wine, a short run of
# each fuzz target, the Debian package, and scripts/demo.sh as without a display.
# Ends with one line "N passed, N failed".
#
#   scripts/test.sh            everything
#   QM_TEST_STAGES="normal asan" scripts/test.sh   a subset
#
# The "package" stage builds the Debian package and installs it into this
# machine (then removes it): it runs as root only and is skipped otherwise.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh || { echo "installing packages failed"; exit 1; }

jobs=$(nproc 2>/dev/null || echo 2)
stages=${QM_TEST_STAGES:-"normal asan tsan windows fuzz package demo"}
passed=0
failed=0
failures=()

# Adds ctest's counts from its log to the totals.
count_ctest() {
    local log=$1 stage=$2 line total nfail
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
    if [ -z "$line" ]; then
        failed=$((failed + 1))
        failures+=("$stage: no test summary (build failed?)")
        return
    fi
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    nfail=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
    passed=$((passed + total - nfail))
    failed=$((failed + nfail))
    [ "$nfail" -gt 0 ] && failures+=("$stage: $nfail failed (see $log)")
}

run_stage() {
    local stage=$1 dir=$2
    shift 2
    local log="$root/$dir/ctest.log"
    echo "=== $stage: configure and build ($dir)"
    mkdir -p "$dir"
    if ! cmake -S . -B "$dir" -G Ninja "$@" >"$dir/configure.log" 2>&1; then
        tail -n 30 "$dir/configure.log"
        failed=$((failed + 1)); failures+=("$stage: configure failed"); return
    fi
    if ! cmake --build "$dir" -j "$jobs" >"$dir/build.log" 2>&1; then
        grep -E 'error|Error' "$dir/build.log" | head -n 30
        failed=$((failed + 1)); failures+=("$stage: build failed"); return
    fi
    echo "=== $stage: tests"
    (cd "$dir" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$jobs" --timeout 600) \
        >"$log" 2>&1
    grep -E '^[0-9]+% tests passed|Failed|\*\*\*' "$log" | tail -n 20
    count_ctest "$log" "$stage"
}

# The sanitizer builds leave out the image maker (libntfs-3g is not built with
# their runtime): they read the images the normal build makes, so that every
# integration test runs under them too. Made here when the normal stage was not.
images="$root/build-test/tests/integration/images"
ensure_images() {
    if ls "$images"/*.manifest.tsv >/dev/null 2>&1 && [ -n "${images_made:-}" ]; then return; fi
    echo "=== images: qm-mkvolume in build-test"
    mkdir -p build-test
    cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >build-test/configure.log 2>&1 &&
        cmake --build build-test -j "$jobs" -t qm-mkvolume >build-test/images.log 2>&1 &&
        (cd build-test && ctest -R '^integration[.]make[.]' -j "$jobs") >>build-test/images.log 2>&1 ||
        echo "making the images failed (see build-test/images.log): integration tests will skip"
    images_made=1
}

for stage in $stages; do
    case $stage in
        normal) run_stage normal build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo
                images_made=1 ;;
        asan) ensure_images
              ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
              run_stage asan build-asan -DCMAKE_BUILD_TYPE=Debug -DQM_SANITIZE=address -DQM_BUILD_TOOLS=OFF \
                  -DQM_IMAGE_DIR="$images" ;;
        tsan) ensure_images
              TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
              run_stage tsan build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_SANITIZE=thread -DQM_BUILD_TOOLS=OFF \
                  -DQM_IMAGE_DIR="$images" ;;
        windows)
            if [ -x scripts/test-windows.sh ]; then
                echo "=== windows: cross build, tests under wine"
                bash scripts/test-windows.sh >build-windows.log 2>&1
                tail -n 5 build-windows.log
                count_ctest build-windows.log windows
                # The native window on Xvfb, after the unit tests: one run per test volume.
                wok=$(grep -c '^test-windows-window: .* exit 0$' build-windows.log)
                wbad=$(grep -E '^test-windows-window: .* exit [0-9]+$' build-windows.log | grep -vc ' exit 0$')
                passed=$((passed + wok))
                if [ "$wbad" -gt 0 ] || [ "$wok" -eq 0 ]; then
                    failed=$((failed + wbad + (wok == 0)))
                    failures+=("windows: the window test failed (see build-windows.log)")
                    # What the failing runs said, so that CI's log shows the cause.
                    grep -E '^(FAIL |test-windows-window: |wine: |xvfb-run: |Xvfb|err:)' \
                        build-windows.log | tail -n 40
                fi
            fi ;;
        fuzz)
            if [ -x scripts/fuzz.sh ]; then
                echo "=== fuzz: each target for 60 s"
                if bash scripts/fuzz.sh all 60 >build-fuzz.log 2>&1; then
                    passed=$((passed + 1))
                else
                    failed=$((failed + 1)); failures+=("fuzz: see build-fuzz.log")
                    tail -n 30 build-fuzz.log
                fi
            fi ;;
        package)
            if [ "$(id -u)" -ne 0 ]; then
                echo "=== package: skipped (installing the package needs root)"
            else
                echo "=== package: build the .deb, install it, run it from /usr/bin, remove it"
                if bash scripts/package.sh --check >build-package.log 2>&1; then
                    passed=$((passed + 1))
                else
                    failed=$((failed + 1)); failures+=("package: see build-package.log")
                fi
                tail -n 3 build-package.log
            fi ;;
        demo)
            # The README's first command, as a new user runs it without a display:
            # it builds in build/, makes the demo volume and saves a screenshot.
            echo "=== demo: scripts/demo.sh, then a scan of the demo volume it made"
            if env -u DISPLAY -u WAYLAND_DISPLAY bash scripts/demo.sh >build-demo.log 2>&1 &&
                [ -s build/quillmere-demo.png ] &&
                build/cli/quillmere-cli scan build/demo.img >>build-demo.log 2>&1; then
                passed=$((passed + 1))
            else
                failed=$((failed + 1)); failures+=("demo: see build-demo.log")
            fi
            tail -n 3 build-demo.log ;;
        *) echo "unknown stage $stage"; exit 2 ;;
    esac
done

for f in "${failures[@]}"; do echo "FAILED: $f"; done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
