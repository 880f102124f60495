#!/usr/bin/env bash
# Where the time of a command-line scan goes, by sampling it with perf:
#
#   bench/profile.sh IMAGE [--json]
#
# Runs quillmere-cli scan IMAGE (output to /dev/null) a few times under
# `perf record` and sorts the samples into the steps of the walk: reading the
# MFT (the kernel's copy and page-cache lookups), fixups, flags and attribute
# lookup, turning rows into text, writing it, and the rest (start-up, exit,
# interrupts).
# Needs perf (package linux-perf); uses the build in build-bench/.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${QM_BENCH_BUILD:-$root/build-bench}
image=${1:?usage: bench/profile.sh IMAGE [--json]}
shift
command -v perf >/dev/null || { echo "perf is not installed (package linux-perf)" >&2; exit 1; }

data=$(mktemp)
trap 'rm -f "$data" "$data.old"' EXIT  # perf keeps the previous file as .old
"$build/cli/quillmere-cli" scan "$image" "$@" >/dev/null  # warm the page cache
perf record -q -F 20000 -o "$data" -- sh -c "for i in 1 2 3 4 5; do '$build/cli/quillmere-cli' scan '$image' $* >/dev/null; done" 2>/dev/null
perf report -i "$data" --no-children --stdio --sort sym 2>/dev/null |
    awk '
        /^ +[0-9.]+%/ {
            pct = $1; sub("%", "", pct)
            sym = $0; sub(/^ +[0-9.]+% +/, "", sym)
            if (sym ~ /copy_to_iter|filemap_|copy_page_to_iter|pread|xas_|folio_mark|touch_atime|vfs_read|rw_verify/) step = "read the MFT (kernel copy, page cache)"
            else if (sym ~ /ApplyFixups/) step = "fixups"
            else if (sym ~ /FindFileAttributes|FillRow|RecordFlags|RowFromRecord|DataSize|RunScan|MftMap/) step = "flags, attribute lookup, rows"
            else if (sym ~ /qm::cli::Put|NameUtf8|ExtensionOf|Utf16ToUtf8|AppendTsvRow|AppendJsonRow|RowScratch|_Function_handler|OnRow|memmove|memcpy|to_chars/) step = "rows to text"
            else if (sym ~ /write|Flush|fwrite|_IO_/) step = "writing the text"
            else if (sym ~ /page_fault|clear_page|anonymous|handle_mm|alloc_pages|zero/) step = "page faults of buffers"
            else if (sym ~ /_dl_|do_lookup_x|init_cpu_features|get_common_indices|unmap_page_range|exit_mmap|execve|load_elf/) step = "start-up and exit of the process"
            else if (sym ~ /softirq|task_switch|_raw_spin|schedule|irq/) step = "interrupts and task switches"
            else step = "the rest"
            share[step] += pct
        }
        END { for (s in share) printf "%6.1f%%  %s\n", share[s], s }' | sort -rn
