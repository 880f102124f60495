// qm-bench-carve: throughput of the document and archive carvers.
//
//   qm-bench-carve inflate FILE.gz [REPEAT]
//       The first member's DEFLATE stream decoded REPEAT times (default 20):
//       "inflate_MBps BEST" in output bytes (10^6 a second), and where zlib
//       was there at build time "zlib_MBps BEST" and "inflate_to_zlib RATIO"
//       on the same stream in the same run.
//   qm-bench-carve carve FILE...
//       Each file carved in memory, again and again for at least 0.3 s:
//       "carve_MBps NAME TYPE MBPS" in file bytes.
//   qm-bench-carve random MIB
//       MIB MiB of random bytes looked at cluster by cluster (4 KiB), each
//       cluster start offered to every carver that says a file may start
//       there: "random_GBps", "random_starts" and "random_whole" (must be 0).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "deep/carve/CarveReader.h"
#include "deep/carve/CarverSet.h"
#include "deep/carve/Inflate.h"

#ifdef QM_BENCH_ZLIB
#include <zlib.h>
#endif

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

Bytes Load(const char* path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

// The DEFLATE data of a GZIP file's first member (header fields skipped).
qm::ByteView DeflateOf(const Bytes& gz) {
    if (gz.size() < 18 || gz[0] != 0x1F || gz[1] != 0x8B) return {};
    std::size_t at = 10;
    const std::uint8_t flags = gz[3];
    if (flags & 4) at += 2 + (gz[at] | gz[at + 1] << 8);
    for (std::uint8_t bit : {8, 16})
        if (flags & bit)
            while (at < gz.size() && gz[at++] != 0) {
            }
    if (flags & 2) at += 2;
    return qm::ByteView(gz.data() + std::min(at, gz.size()), gz.size() - std::min(at, gz.size()));
}

int Inflate(const char* path, int repeat) {
    const Bytes gz = Load(path);
    const qm::ByteView data = DeflateOf(gz);
    qm::deep::Inflater inflater;
    double best = 1e9;
    std::uint64_t out = 0;
    for (int i = 0; i < repeat; ++i) {
        qm::deep::MemorySource src(data);
        const auto start = Clock::now();
        const auto r = inflater.Run(src, ~0ull);
        best = std::min(best, Seconds(start));
        if (r.status != qm::deep::InflateStatus::Done)
            return std::fputs("not a stream\n", stderr), 1;
        out = r.produced;
    }
    std::printf("inflate_MBps\t%.0f\n", out / best / 1e6);
#ifdef QM_BENCH_ZLIB
    Bytes buf(out);
    double zbest = 1e9;
    for (int i = 0; i < repeat; ++i) {
        z_stream z{};
        inflateInit2(&z, -15);
        z.next_in = const_cast<Bytef*>(data.data());
        z.avail_in = static_cast<uInt>(data.size());
        z.next_out = buf.data();
        z.avail_out = static_cast<uInt>(buf.size());
        const auto start = Clock::now();
        inflate(&z, Z_FINISH);
        zbest = std::min(zbest, Seconds(start));
        inflateEnd(&z);
    }
    std::printf("zlib_MBps\t%.0f\ninflate_to_zlib\t%.2f\n", out / zbest / 1e6, zbest / best);
#endif
    return 0;
}

int Carve(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        const Bytes file = Load(argv[i]);
        std::vector<const qm::deep::Carver*> found;
        qm::deep::CarversStartingAt(
            qm::ByteView(file.data(), std::min<std::size_t>(file.size(), 4096)), found);
        if (found.empty()) {
            std::printf("carve_MBps\t%s\t-\t0\n", argv[i]);
            continue;
        }
        std::uint64_t bytes = 0;
        qm::deep::CarveResult r;
        const auto start = Clock::now();
        while (Seconds(start) < 0.3) {
            qm::deep::MemoryInput in(qm::ByteView(file.data(), file.size()));
            r = found.front()->Carve(in);
            bytes += file.size();
        }
        std::printf("carve_MBps\t%s\t%s\t%.0f\n", argv[i], r.type.c_str(),
                    bytes / Seconds(start) / 1e6);
    }
    return 0;
}

int Random(std::size_t mib) {
    Bytes noise(mib << 20);
    std::mt19937_64 rng(1);
    for (std::size_t i = 0; i + 8 <= noise.size(); i += 8) {
        const std::uint64_t v = rng();
        for (int k = 0; k < 8; ++k) noise[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
    }
    std::vector<const qm::deep::Carver*> found;
    std::size_t starts = 0, whole = 0;
    const auto start = Clock::now();
    for (std::size_t at = 0; at < noise.size(); at += 4096) {
        const qm::ByteView rest(noise.data() + at, noise.size() - at);
        qm::deep::CarversStartingAt(rest.SubClamped(0, 4096), found);
        for (const qm::deep::Carver* c : found) {
            ++starts;
            qm::deep::MemoryInput in(rest);
            whole += c->Carve(in).validation == qm::deep::Validation::Whole;
        }
    }
    const double s = Seconds(start);
    std::printf("random_GBps\t%.1f\nrandom_starts\t%zu\nrandom_whole\t%zu\n",
                noise.size() / s / 1e9, starts, whole);
    return whole == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "inflate" && argc > 2)
        return Inflate(argv[2], argc > 3 ? std::max(1, std::atoi(argv[3])) : 20);
    if (mode == "carve" && argc > 2) return Carve(argc - 2, argv + 2);
    if (mode == "random" && argc > 2)
        return Random(static_cast<std::size_t>(std::max(1, std::atoi(argv[2]))));
    std::fputs("usage: qm-bench-carve inflate FILE.gz [REPEAT] | carve FILE... | random MIB\n",
               stderr);
    return 2;
}
