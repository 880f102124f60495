// qm-bench-lznt1 IMAGE RECORD [REPEAT]
//   The LZNT1 decoder's throughput on the compressed units of one file: the
//   units of record RECORD's $DATA that hold LZNT1 chunks are read once, then
//   decompressed REPEAT times (default 200). Prints "units output_bytes
//   best_MBps mean_MBps", MB/s counted in decompressed bytes (10^6).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ntfs/Lznt1.h"
#include "ntfs/uNTFS.h"
#include "platform/RawVolume.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The stored bytes of every unit with a sparse tail (the compressed ones).
bool CompressedUnits(qm::RawVolume& volume, const qm::VolumeInfo& info, std::uint64_t record,
                     std::vector<Bytes>& units, std::size_t& unitBytes) {
    Bytes rec(info.geometry.RecordSize);
    if (qm::ReadMftRecord(volume, info, record, rec) != qm::RecordRead::Ok) return false;
    auto data = qm::FindAttributeView(qm::ByteView(rec.data(), rec.size()), qm::kAttrData);
    if (!data || data->U8(qm::kAttrNonResident) != 1) return false;
    auto list = qm::RunListOf(*data);
    if (!list) return false;
    auto runs = qm::DecodeRunList(*list);
    if (!runs) return false;
    const std::uint32_t cs = info.geometry.ClusterSize;
    const std::size_t unitClusters = std::size_t{1} << data->U8(34).value_or(4);
    unitBytes = unitClusters * cs;
    std::vector<std::optional<std::uint64_t>> lcns;
    for (const auto& r : *runs) {
        for (std::uint64_t i = 0; i < r.length; ++i)
            lcns.push_back(r.sparse ? std::nullopt : std::optional(r.lcn + i));
    }
    for (std::size_t u = 0; u * unitClusters < lcns.size(); ++u) {
        Bytes stored;
        const std::size_t end = std::min(lcns.size(), (u + 1) * unitClusters);
        for (std::size_t i = u * unitClusters; i < end && lcns[i]; ++i) {
            Bytes cluster(cs);
            volume.ReadAt(*lcns[i] * cs, cluster);
            stored.insert(stored.end(), cluster.begin(), cluster.end());
        }
        if (!stored.empty() && stored.size() < unitBytes) units.push_back(std::move(stored));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: qm-bench-lznt1 IMAGE RECORD [REPEAT]\n", stderr);
        return 2;
    }
    const int repeat = argc > 3 ? std::max(1, std::atoi(argv[3])) : 200;
    auto volume = qm::OpenRawVolume(argv[1]);
    if (!volume.ok()) return std::fprintf(stderr, "%s\n", volume.error().ToString().c_str()), 1;
    const qm::SetupResult setup = qm::ReadVolumeLayout(**volume);
    if (setup.stop != qm::SetupStop::None)
        return std::fprintf(stderr, "%s\n", setup.reason.c_str()), 1;
    std::vector<Bytes> units;
    std::size_t unitBytes = 0;
    if (!CompressedUnits(**volume, *setup.info, std::strtoull(argv[2], nullptr, 10), units,
                         unitBytes) ||
        units.empty()) {
        std::fputs("no compressed units in that record\n", stderr);
        return 1;
    }
    Bytes out(unitBytes);
    std::uint64_t output = 0;
    double best = 0, total = 0;
    for (int i = 0; i < repeat; ++i) {
        output = 0;
        const auto start = std::chrono::steady_clock::now();
        for (const Bytes& u : units) {
            auto n = qm::DecompressLznt1(u, out);
            if (!n.ok()) return std::fprintf(stderr, "%s\n", n.error().ToString().c_str()), 1;
            output += *n;
        }
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double mbps = double(output) / 1e6 / s;
        best = std::max(best, mbps);
        total += s;
    }
    std::printf("%zu %llu %.1f %.1f\n", units.size(), static_cast<unsigned long long>(output), best,
                double(output) * repeat / 1e6 / total);
    return 0;
}
