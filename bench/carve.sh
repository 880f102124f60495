#!/usr/bin/env bash
# Throughput of the document and archive carvers and of the DEFLATE decoder,
# measured in one run: inflate on 64 MiB of text (gzip -6) against zlib on the
# same stream, carving of the sample files in memory, and the first look over
# 256 MiB of random bytes (which must find no whole file).
#
#   bench/carve.sh            (QM_BENCH_BUILD, QM_BENCH_CACHE as for bench/run.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QM_BENCH_BUILD:-$root/build-bench}
cache=${QM_BENCH_CACHE:-/var/tmp/quillmere-bench}
mkdir -p "$cache"
if [[ ! -f "$build/build.ninja" ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_TESTS=OFF \
        -DQM_BUILD_TOOLS=OFF -DQM_BUILD_BENCH=ON -DQM_BUILD_GUI=OFF >"$cache/configure-carve.log"
fi
cmake --build "$build" -j2 --target qm-bench-carve >/dev/null
text=$cache/carve-text.gz
if [[ ! -f "$text" ]]; then
    # Words from the sources, in a pseudo-random order: text that compresses
    # about 3:1 like documents do.
    python3 - "$root" <<'PY' | gzip -6 -c >"$text"
import pathlib, random, sys
words = sorted({w for p in pathlib.Path(sys.argv[1], "deep").rglob("*.cpp") for w in p.read_text().split()})
random.seed(1)
out, size = [], 0
while size < 64 << 20:
    line = " ".join(random.choice(words) for _ in range(12)) + "\n"
    out.append(line)
    size += len(line)
sys.stdout.write("".join(out))
PY
fi
tool=$build/bench/qm-bench-carve
"$tool" inflate "$text" 10
"$tool" carve "$root"/tests/data/carve/*.{zip,docx,xlsx,pptx,gz,pdf,sqlite,7z,exe,dll} "$text"
"$tool" random 256
