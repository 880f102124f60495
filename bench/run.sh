#!/usr/bin/env bash
# Benchmarks Quillmere against the raw read of the same bytes and against the
# open tools for the same jobs, in one run on the same images, and prints one
# table (tool, median seconds, ratio to Quillmere, peak memory) followed by a
# PASS or MISS line per target.
#
#   bench/run.sh                  everything
#   QM_BENCH_ONLY="scan100k recover" bench/run.sh
#                                 a subset of: scan100k scan1m cold100k cold1m
#                                 recover big3g compressed memory paths scale4m window
#                                 profile
#                                 (scale4m, the 4,000,000-record volume, only
#                                 when asked for: making it takes long, see
#                                 docs/performance.md)
#
# Settings (environment):
#   QM_BENCH_CACHE   images and outputs (default /var/tmp/quillmere-bench);
#                    images are made once and kept while their description
#                    stays the same
#   QM_BENCH_BUILD   build folder (default build-bench/ of the repository)
#   QM_BENCH_RUNS    timed runs of each quick command (default 5)
#   QM_BENCH_SLOW    timed runs of the slow ones, fls and tsk_recover (default 3);
#                    any command whose first run takes over a minute runs once
#
# Runs are interleaved (every tool once, then every tool again) and reduced to
# medians, so that load from elsewhere on the machine hits all tools alike.
# Scans read a warm page cache: each command runs once untimed first.
# Recoveries write into new folders in the cache folder, on the same disk as the
# images, after a sync, so that one run's dirty pages are not flushed during the
# next; nothing is deleted between runs (see fresh_out).
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${QM_BENCH_BUILD:-$root/build-bench}
cache=${QM_BENCH_CACHE:-/var/tmp/quillmere-bench}
runs=${QM_BENCH_RUNS:-5}
slow=${QM_BENCH_SLOW:-3}
only=${QM_BENCH_ONLY:-"scan100k scan1m cold100k cold1m recover big3g compressed memory paths window profile"}
mkdir -p "$cache"
raw=$cache/raw.tsv        # group tool wall user sys maxrss_kib status
extra=$cache/extra.tsv    # key value lines of the helpers
report=$cache/report.txt
: >"$raw"
: >"$extra"

say() { printf '%s\n' "$*" >&2; }
wants() { [[ " $only " == *" $1 "* ]]; }

# ---- Build -------------------------------------------------------------------------

gui=OFF
if wants window && command -v xvfb-run >/dev/null; then gui=ON; fi
configure() {
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_TESTS=OFF \
        -DQM_BUILD_TOOLS=ON -DQM_BUILD_BENCH=ON -DQM_BUILD_GUI="$1" >"$cache/configure.log" 2>&1
}
if ! configure "$gui"; then
    [ "$gui" = ON ] && say "the window cannot be built here (no Qt 6?): measuring without it"
    gui=OFF
    configure OFF || { say "configure failed: see $cache/configure.log"; exit 1; }
fi
targets="quillmere-cli qm-mkvolume qm-bench qm-bench-lznt1"
[ "$gui" = ON ] && targets="$targets qm-bench-window"
say "building $targets in $build"
if ! cmake --build "$build" --target $targets -j2 >"$cache/build.log" 2>&1; then
    say "build failed: see $cache/build.log"
    exit 1
fi
cli=$build/cli/quillmere-cli
qmb=$build/bench/qm-bench
nosync=$cache/libqm-nosync.so
cc -O2 -shared -fPIC -o "$nosync" "$root/bench/nosync.c" 2>/dev/null || nosync=

# ---- Images ------------------------------------------------------------------------

# Makes $cache/KIND.img unless the one there was made from the same description.
image() {
    local kind=$1 img=$cache/$1.img desc=$cache/$1.desc
    "$root/bench/make-desc.sh" "$kind" >"$desc.new"
    if [ -f "$img" ] && [ -f "$img.manifest.tsv" ] && cmp -s "$desc" "$desc.new"; then
        rm -f "$desc.new"
        return 0
    fi
    mv "$desc.new" "$desc"
    rm -f "$img" "$img.manifest.tsv"
    say "making $img (once; kept in $cache)"
    local t0=$SECONDS
    if ! QM_MKVOLUME=$build/tools/qm-mkvolume "$root/tools/make-volume.sh" "$desc" "$img" >"$cache/$kind.mk.log" 2>&1; then
        say "could not make $img: see $cache/$kind.mk.log"
        rm -f "$img" "$desc"
        return 1
    fi
    say "  made in $((SECONDS - t0)) s"
}

deleted_in() { awk -F'\t' 'NR > 1 && $2 == 1 && $7 !~ /(^|,)dir(,|$)/ { n++ } END { print n + 0 }' "$1.manifest.tsv"; }

# A script that reads the MFT's bytes with dd, 1 MiB at a time, stretch by stretch.
dd_script() {
    local img=$1 out=$2
    {
        echo '#!/bin/sh'
        "$qmb" mft-extents "$img" | while read -r off len; do
            echo "dd if='$img' of=/dev/null bs=1M iflag=skip_bytes,count_bytes skip=$off count=$len status=none"
        done
    } >"$out"
    chmod +x "$out"
}

# ---- Timing --------------------------------------------------------------------------

have() { command -v "$1" >/dev/null 2>&1; }

# time1 GROUP TOOL CMD...: one timed run, appended to $raw; echoes the wall time.
time1() {
    local group=$1 tool=$2
    shift 2
    local line
    line=$("$qmb" time -- "$@") || return 1
    printf '%s\t%s\t%s\n' "$group" "$tool" "$(tr ' ' '\t' <<<"$line")" >>"$raw"
    cut -d' ' -f1 <<<"$line"
}

# Runs the tools of a group interleaved. Each tool is "NAME|PREP|COMMAND": PREP
# runs untimed before every run (may be empty), COMMAND is timed. A tool whose
# first run takes over 60 s runs once; tools named in $slow_tools run $slow times.
run_group() {
    local group=$1 n=$2
    shift 2
    local -a tools=("$@")
    local -A done_runs=() cap=()
    local t name prep cmd wall
    for t in "${tools[@]}"; do
        name=${t%%|*}
        cap[$name]=$n
        [[ " ${slow_tools:-} " == *" ${name%% *} "* ]] && cap[$name]=$slow
        done_runs[$name]=0
    done
    local round
    for ((round = 0; round < n; round++)); do
        for t in "${tools[@]}"; do
            name=${t%%|*}
            prep=${t#*|}
            cmd=${prep#*|}
            prep=${prep%%|*}
            ((done_runs[$name] >= cap[$name])) && continue
            [ -n "$prep" ] && eval "$prep"
            wall=$(eval "time1 \"\$group\" \"\$name\" $cmd") || { say "  $name failed"; continue; }
            done_runs[$name]=$((done_runs[$name] + 1))
            say "  $group: $name ${wall}s"
            if ((done_runs[$name] == 1)) && awk -v w="$wall" 'BEGIN { exit !(w > 60) }'; then
                cap[$name]=1
            fi
        done
    done
}

# The median wall time of a tool's runs so far.
raw_median() {
    awk -F'\t' -v g="$1" -v t="$2" '$1 == g && $2 == t { print $3 }' "$raw" | sort -g |
        awk '{ v[NR] = $1 } END { if (NR) print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

# Warm-up: each command once, untimed (page cache, dynamic loader).
warm() { "$@" >/dev/null 2>&1; }

# ---- Scans ---------------------------------------------------------------------------

scan_group() {
    local kind=$1 img=$cache/$1.img
    image "$kind" || return
    local dds=$cache/$kind.dd.sh
    dd_script "$img" "$dds"
    local -a tools=("quillmere-cli scan||$cli scan $img" "floor: aligned pread of the MFT||$qmb floor-read $img"
        "dd MFT bytes||$dds" "quillmere-cli scan --json||$cli scan --json $img")
    if have ntfsundelete; then
        tools+=("ntfsundelete -s||ntfsundelete -s $img")
    else
        say "ntfsundelete is not installed (package ntfs-3g): skipped"
    fi
    if have fls; then
        tools+=("fls -r -d -p||fls -r -d -p $img")
    else
        say "fls is not installed (package sleuthkit): skipped"
    fi
    say "scans of $img"
    warm "$dds"
    warm "$qmb" floor-read "$img"
    warm "$cli" scan "$img"
    have ntfsundelete && warm ntfsundelete -s "$img"
    # The scan's rows must be the deleted files the image was made with.
    local rows want
    rows=$("$cli" scan "$img" 2>/dev/null | tail -n +2 | wc -l)
    want=$(deleted_in "$img")
    printf 'rows_%s\t%s\t%s\n' "$kind" "$rows" "$want" >>"$extra"
    [ "$rows" = "$want" ] || say "  WARNING: the scan lists $rows files, the image has $want deleted"
    slow_tools="fls" run_group "scan-$kind" "$runs" "${tools[@]}"
}

# ---- Cold scans from a block device -------------------------------------------------------

# A read-only loop device over the image that reads the image with direct I/O,
# so that the image file's own page cache does not serve it: reads reach the disk.
loop_dev=
loop_detach() { [ -n "$loop_dev" ] && losetup -d "$loop_dev" 2>/dev/null; loop_dev=; }

# Drops what the page cache holds of the device and of the image behind it
# (BLKFLSBUF and POSIX_FADV_DONTNEED, qm-bench drop-cache), so that the next
# read goes to the disk. Only these two are dropped: the machine is shared, and
# dropping every cache (/proc/sys/vm/drop_caches) would slow the others'
# builds; QM_BENCH_DROP_ALL=1 drops every cache instead.
drop_cold() {
    if [ "${QM_BENCH_DROP_ALL:-0}" = 1 ]; then
        sync && echo 3 >/proc/sys/vm/drop_caches && return 0
    fi
    "$qmb" drop-cache "$loop_dev" "$1"
}

cold_group() {
    local kind=$1 img=$cache/$1.img
    image "$kind" || return
    if [ "$(id -u)" != 0 ] || ! have losetup; then
        say "cold scans of $kind: skipped (a loop device needs root and losetup)"
        return
    fi
    loop_dev=$(losetup -r -f --show --direct-io=on "$img" 2>/dev/null) ||
        loop_dev=$(losetup -r -f --show "$img" 2>/dev/null) || {
        say "cold scans of $kind: skipped (no loop device: $(losetup -r -f --show "$img" 2>&1))"
        loop_dev=
        return
    }
    local dds=$cache/$kind.cold-dd.sh
    dd_script "$loop_dev" "$dds"
    local prep="drop_cold '$img'"
    local -a tools=("quillmere-cli scan (cold)|$prep|$cli scan $loop_dev"
        "dd MFT bytes (cold)|$prep|$dds"
        "floor: aligned pread of the MFT (cold)|$prep|$qmb floor-read $loop_dev")
    say "cold scans of $kind through $loop_dev"
    run_group "cold-$kind" "$runs" "${tools[@]}"
    loop_detach
}

# ---- Recoveries -----------------------------------------------------------------------

# Each recovery writes into a new, empty folder reached through the link $cache/out;
# the folders are deleted only when the benchmark ends. Deleting the 50,000 files
# of one run just before the next would be timed as the next tool's cost: ext4
# without a journal skips recently freed inodes one by one when it creates files
# (recently_deleted) for minutes after a deletion, which made every tool run two
# to four times slower than on a disk where nothing was just deleted.
fresh_out() {
    local d
    mkdir -p "$cache/runs"
    d=$(mktemp -d "$cache/runs/out.XXXXXX") || return 1
    ln -sfn "$d" "$cache/out"
    sync
}
trap 'loop_detach; rm -rf "$cache/runs" "$cache/out"' EXIT

recover_group() {
    local img=$cache/files100k.img out=$cache/out
    image files100k || return
    local prep="fresh_out"
    # The floor writes the files one recovery wrote, with their sizes and folders.
    local list=$cache/files100k.recovered.tsv
    fresh_out
    "$cli" recover "$img" --out "$out/q" --all >/dev/null 2>&1
    (cd "$out/q" && find . -type f -printf '%s\t%P\n') >"$list"
    printf 'recover_files_files100k\t%s\n' "$(wc -l <"$list")" >>"$extra"
    local -a tools=("quillmere-cli recover --all|$prep|$cli recover $img --out $out/q --all")
    tools+=("floor: create, write, rename, syncfs|$prep|$qmb floor-write $list $out/q")
    tools+=("quillmere-cli recover --all --jobs 2|$prep|$cli recover $img --out $out/q --all --jobs 2")
    if [ -n "$nosync" ]; then
        tools+=("quillmere-cli recover --all, no flush|$prep|env LD_PRELOAD=$nosync $cli recover $img --out $out/q --all")
    fi
    if have ntfsundelete; then
        tools+=("ntfsundelete -u -m '*'|$prep|ntfsundelete -u -m '*' -T -d $out $img")
        tools+=("ntfsundelete -u -m '*' + sync|$prep|sh -c \"ntfsundelete -u -m '*' -T -d $out $img && sync -f $out/\"")
    else
        say "ntfsundelete is not installed (package ntfs-3g): skipped"
    fi
    if have tsk_recover; then
        tools+=("tsk_recover|$prep|tsk_recover $img $out")
    else
        say "tsk_recover is not installed (package sleuthkit): skipped"
    fi
    say "recovery of every deleted file of $img, each run into a new folder"
    slow_tools="tsk_recover" run_group recover-files100k "$runs" "${tools[@]}"
}

big_group() {
    local img=$cache/big3g.img out=$cache/out src=$cache/big3g.src
    image big3g || return
    # One file per run: deleting it before the next run costs no inode search.
    local prep="rm -rf '$out'; mkdir -p '$out'; sync"
    if [ ! -f "$src" ] || [ "$(stat -c %s "$src")" != $((3 << 30)) ]; then
        say "making $src, the 3 GiB file that cp copies (once)"
        rm -rf "$out" && mkdir -p "$out"
        "$cli" recover "$img" --out "$out" --all >/dev/null 2>&1
        mv "$out/big.bin" "$src" || { say "could not recover big.bin"; return; }
    fi
    local -a tools=(
        "quillmere-cli recover (3 GiB file)|$prep|$cli recover $img --out $out --all"
        "cp (3 GiB file)|$prep|cp $src $out/copy.bin"
        "cp + fsync (3 GiB file)|$prep|sh -c 'cp $src $out/copy.bin && sync $out/copy.bin'"
    )
    say "recovery of one 3 GiB file"
    run_group big3g 3 "${tools[@]}"
    rm -rf "$out"
}

# Decompression: eight deleted 4 MiB NTFS-compressed files, recovered by the
# CLI and read by icat from their records; MB/s of output. The decoder alone on
# the first file's compressed units goes to the other measurements.
compressed_group() {
    local img=$cache/compressed.img out=$cache/out records
    image compressed || return
    records=$("$cli" scan "$img" | awk -F'\t' '$3 ~ /^t[0-9]\.txt$/ { print $2 }' | tr '\n' ' ')
    [ -n "$records" ] || { say "compressed: the files are not listed"; return; }
    local prep="rm -rf '$out'; mkdir -p '$out'"
    local -a tools=("quillmere-cli recover (32 MiB compressed)|$prep|$cli recover $img --out $out --all")
    have icat && tools+=("icat (32 MiB compressed)|$prep|sh -c 'for r in $records; do icat $img \$r >$out/\$r.bin; done'")
    warm "$cli" recover "$img" --out "$cache/warm-lz" --all
    rm -rf "$cache/warm-lz"
    say "decompression of eight 4 MiB compressed files"
    run_group compressed "$runs" "${tools[@]}"
    if [ -x "$build/bench/qm-bench-lznt1" ]; then
        "$build/bench/qm-bench-lznt1" "$img" "${records%% *}" 20 |
            awk '{ printf "lznt1_decoder_best_MBps\t%s\n", $3 }' >>"$extra"
    fi
    rm -rf "$out"
}

# ---- Memory, window, profile --------------------------------------------------------------

memory_group() {
    local kind
    local -A peak=() listed=()
    for kind in files100k records1m; do
        image "$kind" || continue
        "$qmb" rows "$cache/$kind.img" | awk -v k="$kind" '{ for (i = 1; i < NF; i += 2) printf "rows_kept_%s_%s\t%s\n", k, $i, $(i + 1) }' >>"$extra"
        # The command line's own peak: it holds every row until their paths are known.
        peak[$kind]=$("$qmb" time -- "$cli" scan "$cache/$kind.img" | cut -d' ' -f4)
        listed[$kind]=$("$cli" scan "$cache/$kind.img" 2>/dev/null | tail -n +2 | wc -l)
        printf 'cli_peak_kib_%s\t%s\n' "$kind" "${peak[$kind]}" >>"$extra"
    done
    # Bytes per listed row: the growth of the peak from one image to the other.
    if [ -n "${peak[records1m]:-}" ] && [ -n "${peak[files100k]:-}" ]; then
        awk -v a="${peak[files100k]}" -v b="${peak[records1m]}" -v ra="${listed[files100k]}" -v rb="${listed[records1m]}" \
            'BEGIN { if (rb > ra) printf "cli_records1m_bytes_per_row\t%.1f\n", (b - a) * 1024 / (rb - ra) }' >>"$extra"
    fi
}

# The scan before paths and recoverability were added (the commit named by
# QM_BENCH_BASELINE), built once into the cache from the repository's history.
baseline=${QM_BENCH_BASELINE:-5dfafa7}
baseline_cli() {
    local src=$cache/baseline-$baseline bin=$cache/baseline-$baseline-build/cli/quillmere-cli
    if [ ! -x "$bin" ]; then
        say "building quillmere-cli of $baseline (the scan before paths) in $src-build (once)"
        rm -rf "$src" && mkdir -p "$src"
        git -C "$root" archive "$baseline" | tar -x -C "$src" || return 1
        cmake -S "$src" -B "$src-build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_TESTS=OFF \
            -DQM_BUILD_TOOLS=OFF -DQM_BUILD_GUI=OFF >"$cache/baseline.log" 2>&1 &&
            cmake --build "$src-build" --target quillmere-cli -j2 >>"$cache/baseline.log" 2>&1 || return 1
    fi
    echo "$bin"
}

paths_group() {
    local img=$cache/files100k.img old
    image files100k || return
    old=$(baseline_cli) || {
        say "could not build the baseline: see $cache/baseline.log"
        return
    }
    warm "$cli" scan "$img"
    warm "$old" scan "$img"
    say "scan with paths and recoverability against the scan of $baseline"
    run_group paths-files100k "$runs" "quillmere-cli scan||$cli scan $img" \
        "scan before paths and recoverability||$old scan $img"
}

# How the scan grows from 100k to 1M to 4M records: time and peak per record.
scale_group() {
    local kind n
    local -A per=()
    for kind in files100k records1m records4m; do
        image "$kind" || continue
        n=$("$qmb" records "$cache/$kind.img") || continue
        warm "$cli" scan "$cache/$kind.img"
        say "scale: scans of $kind ($n records)"
        run_group "scale-$kind" "$runs" "quillmere-cli scan||$cli scan $cache/$kind.img"
        per[$kind]=$(awk -v t="$(raw_median "scale-$kind" "quillmere-cli scan")" -v n="$n" \
            'BEGIN { if (t != "" && n > 0) printf "%.1f", t * 1e9 / n }')
        printf 'scale_%s_records\t%s\nscale_%s_ns_per_record\t%s\n' "$kind" "$n" "$kind" "${per[$kind]}" >>"$extra"
    done
    [ -n "${per[records1m]:-}" ] && [ -n "${per[records4m]:-}" ] &&
        awk -v a="${per[records1m]}" -v b="${per[records4m]}" \
            'BEGIN { printf "scale_records4m_ns_per_record_over_1m\t%.2f\n", b / a }' >>"$extra"
}

window_group() {
    if [ "$gui" != ON ]; then
        say "window: not measured (needs Qt 6 and xvfb-run)"
        return
    fi
    local kind
    for kind in files100k records1m; do
        image "$kind" || continue
        say "window: scan, sort and scroll of $kind under Xvfb"
        xvfb-run -a -s "-screen 0 1280x1024x24" "$build/bench/qm-bench-window" "$cache/$kind.img" 3 \
            2>"$cache/window-$kind.log" |
            awk -v k="$kind" '{ for (i = 1; i < NF; i += 2) printf "window_%s_%s\t%s\n", k, $i, $(i + 1) }' >>"$extra"
    done
}

profile_group() {
    local kind
    for kind in files100k records1m; do
        [ -f "$cache/$kind.img" ] || continue
        "$qmb" profile "$cache/$kind.img" 5 >"$cache/profile-$kind.txt" 2>&1
    done
}

wants scan100k && scan_group files100k
wants scan1m && scan_group records1m
wants cold100k && cold_group files100k
wants cold1m && cold_group records1m
wants recover && recover_group
wants big3g && big_group
wants compressed && compressed_group
wants memory && memory_group
wants paths && paths_group
wants scale4m && scale_group
wants window && window_group
wants profile && profile_group

# ---- Report ---------------------------------------------------------------------------------

{
    echo "Quillmere benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores," \
        "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(free -g | awk '/Mem:/ { print $2 }') GiB"
    echo "medians of interleaved runs; ratio = the tool's median / Quillmere's median in the same group"
    echo
    awk -F'\t' '
        function median(list,   n, a, i, j, t) {
            n = split(list, a, " ")
            for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
            return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
        }
        {
            key = $1 SUBSEP $2
            if (!(key in wall)) { order[++n] = key; group[key] = $1; tool[key] = $2 }
            wall[key] = wall[key] " " $3
            cpu[key] = cpu[key] " " ($4 + $5)
            if ($6 > rss[key]) rss[key] = $6
            runs[key]++
        }
        END {
            printf "%-20s %-42s %5s %10s %10s %9s %10s\n", "group", "tool", "runs", "median s", "cpu s", "ratio", "peak MiB"
            for (i = 1; i <= n; i++) {
                k = order[i]; g = group[k]
                med[k] = median(wall[k])
                if (tool[k] ~ /^quillmere-cli (scan|recover)/ && !(g in base)) base[g] = med[k]
            }
            for (i = 1; i <= n; i++) {
                k = order[i]; g = group[k]
                ratio = (g in base && base[g] > 0) ? sprintf("%.2f", med[k] / base[g]) : "-"
                printf "%-20s %-42s %5d %10.4f %10.4f %9s %10.1f\n", g, tool[k], runs[k], med[k], median(cpu[k]), ratio, rss[k] / 1024
                printf "%s\t%s\t%.6f\t%d\n", g, tool[k], med[k], rss[k] > "/dev/stderr"
            }
        }' "$raw" 2>"$cache/medians.tsv"
    echo
    if [ -s "$extra" ]; then
        echo "other measurements:"
        sed 's/^/  /' "$extra"
        echo
    fi
    for f in "$cache"/profile-*.txt; do
        [ -f "$f" ] || continue
        echo "where a scan's time goes ($(basename "$f" .txt | sed 's/profile-//')):"
        sed 's/^/  /' "$f"
        echo
    done

    # Targets.
    med() { awk -F'\t' -v g="$1" -v t="$2" '$1 == g && $2 == t { print $3 }' "$cache/medians.tsv"; }
    rss() { awk -F'\t' -v g="$1" -v t="$2" '$1 == g && $2 == t { print $4 }' "$cache/medians.tsv"; }
    # The median of a helper's values under one key.
    ext() { awk -F'\t' -v k="$1" '$1 == k { print $2 }' "$extra" | sort -g | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }'; }
    # target NAME VALUE OP LIMIT DESCRIPTION
    target() {
        local name=$1 value=$2 op=$3 limit=$4 text=$5
        if [ -z "$value" ]; then
            printf 'SKIP  %-4s %s (not measured)\n' "$name" "$text"
            return
        fi
        if awk -v v="$value" -v l="$limit" -v op="$op" 'BEGIN { exit !((op == "<=" && v <= l) || (op == ">=" && v >= l) || (op == "<" && v < l)) }'; then
            printf 'PASS  %-4s %s: %s %s %s\n' "$name" "$text" "$value" "$op" "$limit"
        else
            printf 'MISS  %-4s %s: %s, needs %s %s\n' "$name" "$text" "$value" "$op" "$limit"
        fi
    }
    ratio() { [ -n "$1" ] && [ -n "$2" ] && awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b }'; }

    echo "targets:"
    for kind in files100k records1m; do
        g=scan-$kind
        q=$(med "$g" "quillmere-cli scan")
        target 1a "$(ratio "$q" "$(med "$g" "floor: aligned pread of the MFT")")" "<=" 1.3 \
            "$kind: scan / aligned pread of the MFT's runs (warm)"
        target 1b "$(ratio "$(med "$g" "ntfsundelete -s")" "$q")" ">=" 10 "$kind: ntfsundelete -s / scan"
        target 1c "$(ratio "$(med "$g" "fls -r -d -p")" "$q")" ">=" 100 "$kind: fls -r -d -p / scan"
        g=cold-$kind
        target 2 "$(ratio "$(med "$g" "quillmere-cli scan (cold)")" "$(med "$g" "dd MFT bytes (cold)")")" "<=" 1.1 \
            "$kind: cold scan from a loop device / cold dd of the MFT's runs, bs=1M"
    done
    g=recover-files100k
    q=$(med "$g" "quillmere-cli recover --all")
    target 3a "$(ratio "$q" "$(med "$g" "floor: create, write, rename, syncfs")")" "<=" 1.25 \
        "files100k: recover --all / the floor that writes the same files"
    target 3b "$(ratio "$(med "$g" "ntfsundelete -u -m '*' + sync")" "$q")" ">=" 1 \
        "files100k: (ntfsundelete -u + sync) / recover --all"
    target 3c "$(ratio "$(med "$g" "tsk_recover")" "$q")" ">=" 3 "files100k: tsk_recover / recover --all"
    target 4a "$(ratio "$(med big3g "cp + fsync (3 GiB file)")" "$(med big3g "quillmere-cli recover (3 GiB file)")")" ">=" 0.9 \
        "3 GiB file: recovery throughput / (cp + sync) throughput"
    for tool in "quillmere-cli recover (32 MiB compressed)" "icat (32 MiB compressed)"; do
        t=$(med compressed "$tool")
        [ -n "$t" ] && printf 'INFO       %s: %s MB/s of output\n' "$tool" \
            "$(awk -v t="$t" 'BEGIN { printf "%.0f", 33.554432 / t }')"
    done
    r=$(rss big3g "quillmere-cli recover (3 GiB file)")
    target 4b "$([ -n "$r" ] && awk -v r="$r" 'BEGIN { printf "%.1f", r / 1024 }')" "<" 64 "3 GiB file: peak resident memory of the recovery, MiB"
    q=$(med scan-files100k "quillmere-cli scan")
    target 5a "$(ratio "$(ext window_files100k_scan_s)" "$q")" "<=" 3 "files100k: window press -> last row / command-line scan (medians)"
    target 5b "$(ext window_files100k_max_stall_ms)" "<=" 100 "files100k: longest UI-thread stall while rows stream in, ms"
    target 5b "$(ext window_records1m_max_stall_ms)" "<=" 100 "records1m: longest UI-thread stall while rows stream in, ms"
    target 5c "$(ext window_records1m_sort_worst_s)" "<" 2 "records1m: slowest sort of the list by one column, s"
    target 5d "$(ext window_records1m_scroll_worst_step_ms)" "<=" 100 "records1m: slowest page step while scrolling, ms"
    target 6a "$(ext cli_records1m_bytes_per_row)" "<=" 300 "records1m: CLI scan's resident bytes per listed row, paths kept"
    target 6a "$(ext rows_kept_files100k_bytes_per_row)" "<=" 300 "files100k: heap bytes per kept scan row"
    target 6a "$(ext rows_kept_records1m_bytes_per_row)" "<=" 300 "records1m: heap bytes per kept scan row"
    target 6b "$(ext window_records1m_heap_bytes_per_row)" "<=" 300 "records1m: window heap bytes per listed row"
    target 6c "$(ratio "$(med paths-files100k "quillmere-cli scan")" "$(med paths-files100k "scan before paths and recoverability")")" "<=" 1.5 \
        "files100k: scan with paths and recoverability / the scan before them"
    target 7 "$(ext scale_records4m_ns_per_record_over_1m)" "<=" 1.25 \
        "records4m: scan time per record / records1m's (linear growth: 1)"
} | tee "$report"
say "report saved to $report; raw runs in $raw"
