// Writes the starting corpus of the fuzz targets: small volumes, records and
// run lists made with the test builders, and, when a folder of decompressed
// reference data is given, records, run lists, boot sectors and volume starts
// taken from it.
//
//   qm_fuzz_seeds OUTDIR [REFERENCE_DIR [IMAGE...]]
//
// OUTDIR receives record/, runlist/, boot/ and image/. REFERENCE_DIR is read
// for mft/*.mft, boot/*.boot and volumes/*.img. Each IMAGE (a whole volume,
// such as the ones tools/make-volume.sh makes) gives its records, and a small
// volume of its system records and deleted files behind a record 0 of our own.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "ntfs/uNTFS.h"
#include "platform/RawVolume.h"
#include "scan/ScanEngine.h"
#include "tests/support/CarveBuilders.h"
#include "tests/support/Lznt1Writer.h"
#include "tests/support/RecordBuilder.h"
#include "tests/support/VolumeBuilder.h"

namespace {

namespace fs = std::filesystem;
using qm::test::Bytes;
using qm::test::RunListBuilder;
using qm::test::VolumeBuilder;

constexpr std::uint64_t kTime = 132223104000000000ull;
constexpr std::size_t kImageLimit = 64 * 1024;
constexpr std::size_t kBootLimit = 8 * 1024;

class Seeds {
public:
    explicit Seeds(fs::path root) : root_(std::move(root)) {
        for (const char* t : {"record", "runlist", "boot", "image", "lznt1", "carve", "inflate"})
            fs::create_directories(root_ / t);
    }
    void Put(const std::string& target, const std::string& name, const Bytes& bytes) {
        if (bytes.empty() || !seen_.insert(target + std::string(bytes.begin(), bytes.end())).second)
            return;
        std::ofstream(root_ / target / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        ++count_;
    }
    // A record as fuzz_record takes it: the stride selector, then the record.
    void Record(const std::string& name, const Bytes& record, std::uint8_t stride = 0) {
        if (std::all_of(record.begin(), record.end(), [](std::uint8_t b) { return b == 0; }))
            return;
        Bytes in{stride};
        in.insert(in.end(), record.begin(), record.end());
        Put("record", name, in);
    }
    // A run list as fuzz_runlist takes it: cluster size, damage, data size, patch, list.
    void RunList(const std::string& name, const Bytes& list, std::uint64_t dataSize,
                 std::uint8_t cs = 0) {
        Bytes in(12, 0);
        in[0] = cs;
        qm::test::PutLe(in, 2, dataSize, 8);
        in.insert(in.end(), list.begin(), list.end());
        Put("runlist", name, in);
    }
    // Every record of an image's MFT, and the run lists of their $DATA.
    void RecordsOf(const std::string& name, const Bytes& mft, std::size_t recordSize) {
        for (std::size_t i = 0; i + recordSize <= mft.size(); i += recordSize) {
            Bytes rec(mft.begin() + static_cast<std::ptrdiff_t>(i),
                      mft.begin() + static_cast<std::ptrdiff_t>(i + recordSize));
            Record(name + "-r" + std::to_string(i / recordSize), rec);
            Bytes fixed = rec;
            if (!qm::ApplyFixups(std::span<std::uint8_t>(fixed), 512)) continue;
            auto data =
                qm::FindAttributeView(qm::ByteView(fixed.data(), fixed.size()), qm::kAttrData);
            if (!data || data->U8(qm::kAttrNonResident) != 1) continue;
            auto list = qm::RunListOf(*data);
            if (!list) continue;
            RunList(name + "-r" + std::to_string(i / recordSize),
                    Bytes(list->data(), list->data() + list->size()),
                    data->U64(qm::kNrDataSize).value_or(0) & 0xFFFFF);
        }
    }
    // A whole volume: an image seed, its start as a boot seed, its records.
    void Volume(const std::string& name, const VolumeBuilder& v, Bytes image) {
        if (image.size() > kImageLimit) image.resize(kImageLimit);
        Put("image", name, image);
        Put("boot", name,
            Bytes(image.begin(),
                  image.begin() + static_cast<std::ptrdiff_t>(std::min(image.size(), kBootLimit))));
        const auto runs = v.Runs();
        if (runs.size() == 1) {
            const std::size_t at = runs[0].lcn * v.ClusterSize();
            const std::size_t len = std::min<std::size_t>(
                runs[0].clusters * v.ClusterSize(), image.size() - std::min(at, image.size()));
            RecordsOf(name,
                      Bytes(image.begin() + static_cast<std::ptrdiff_t>(std::min(at, image.size())),
                            image.begin() +
                                static_cast<std::ptrdiff_t>(std::min(at, image.size()) + len)),
                      v.RecordSize());
        }
    }
    int count() const { return count_; }

private:
    fs::path root_;
    std::set<std::string> seen_;
    int count_ = 0;
};

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 13);
    return b;
}

Bytes Deleted(const VolumeBuilder& v, std::uint32_t n, std::u16string name, const Bytes& content) {
    return v.NewRecord(n)
        .StandardInformation(kTime, kTime + 1)
        .FileName(name)
        .ResidentData(content)
        .Build();
}

Bytes DeletedRuns(const VolumeBuilder& v, std::uint32_t n, std::u16string name, Bytes runs,
                  std::uint64_t size) {
    return v.NewRecord(n)
        .StandardInformation(kTime, kTime + 1)
        .FileName(name)
        .NonResidentData(std::move(runs), size, size, 0, 1)
        .Build();
}

// LZNT1 seeds as fuzz_lznt1 takes them: mode, output size, then the data.
void Lznt1Seeds(Seeds& s) {
    using qm::test::Lznt1Writer;
    Bytes text;
    const std::string words[] = {"cluster ", "record ", "attribute ", "run "};
    for (std::size_t i = 0; text.size() < 9000; i = (i * 7 + 3) % 4) {
        text.insert(text.end(), words[i].begin(), words[i].end());
    }
    auto put = [&](const std::string& name, std::uint8_t mode, std::uint8_t room, Bytes body) {
        Bytes in{mode, room};
        in.insert(in.end(), body.begin(), body.end());
        s.Put("lznt1", name, in);
    };
    put("compressed", 0, 0, qm::test::CompressLznt1(text));
    put("literals", 0, 0,
        qm::test::CompressLznt1Literals(Bytes(text.begin(), text.begin() + 3000)));
    put("stored", 0, 40, qm::test::CompressLznt1Literals(Pattern(8192, 3)));
    put("overlap", 0, 1, Lznt1Writer().Literal('a').Reference(1, 20, 12).EndChunk().Build());
    put("splits", 0, 0,
        Lznt1Writer()
            .Literals(Pattern(40, 4))
            .Reference(33, 5, 10)
            .Reference(40, 9, 10)
            .EndChunk()
            .Build());
    put("roundtrip-text", 1, 255, Bytes(text.begin(), text.begin() + 5000));
    put("roundtrip-random", 1, 16, Pattern(4200, 5));
}

void BuilderSeeds(Seeds& s) {
    {  // 512-byte clusters and 1 KiB records: resident, non-resident, sparse,
        // negative offsets, a run past the end, DOS names, in-use files, directories.
        VolumeBuilder v;
        v.SectorsPerClusterByte(1).ClustersPerRecord(2).MftCluster(4).RecordCount(40);
        v.Record(16, Deleted(v, 16, u"a.txt", qm::test::BytesOf("hello")));
        v.Record(17, DeletedRuns(v, 17, u"b.bin", RunListBuilder().Run(2, 100).Build(), 1000));
        v.Record(18, v.NewRecord(18)
                         .Flags(1)
                         .StandardInformation(1, 2)
                         .FileName(u"live")
                         .ResidentData(Bytes{1})
                         .Build());
        v.Record(19, v.NewRecord(19)
                         .StandardInformation(1, 2)
                         .FileName(u"LONGNA~1.DOC", 2)
                         .FileName(u"long name.doc", 1)
                         .ResidentData(Bytes{7, 7})
                         .Build());
        v.Record(20, DeletedRuns(v, 20, u"holes.dat",
                                 RunListBuilder().Run(1, 110).Sparse(1).Run(1, 104).Build(), 1400));
        v.Record(21, Deleted(v, 21, u"", Bytes{}));
        v.Record(22, v.NewRecord(22).Flags(2).StandardInformation(1, 2).FileName(u"dir").Build());
        v.Record(23, DeletedRuns(v, 23, u"far.bin",
                                 RunListBuilder().Run(2, 5000).Run(1, 108).Build(), 1536));
        v.Record(24, Deleted(v, 24, u"../escape", Bytes{1, 2, 3}));
        v.Data(100, Pattern(1024, 1))
            .Data(104, Pattern(512, 2))
            .Data(108, Pattern(512, 3))
            .Data(110, Pattern(512, 4));
        v.TotalClusters(116);
        s.Volume("mixed", v, v.Build());
    }
    {  // A fragmented MFT whose record 17 lies half in each fragment.
        VolumeBuilder v;
        v.SectorsPerClusterByte(1).ClustersPerRecord(2).MftCluster(4).MftRuns({{4, 35}, {60, 29}});
        v.Record(17, Deleted(v, 17, u"split.txt", qm::test::BytesOf("split")));
        v.Record(20, Deleted(v, 20, u"after.txt", qm::test::BytesOf("after")));
        v.TotalClusters(96);
        s.Volume("fragmented", v, v.Build());
    }
    {  // The MFT's second fragment is named by an attribute list in record 15.
        VolumeBuilder v;
        v.SectorsPerClusterByte(1)
            .ClustersPerRecord(2)
            .MftCluster(4)
            .MftRuns({{4, 40}, {60, 24}})
            .MftExtentInRecord(1, 15);
        v.Record(22, Deleted(v, 22, u"far.txt", qm::test::BytesOf("far")));
        v.TotalClusters(90);
        s.Volume("attrlist", v, v.Build());
    }
    {  // 4 KiB clusters holding four 512-byte records each.
        VolumeBuilder v;
        v.ClustersPerRecord(0xF7).MftCluster(1).RecordCount(24);
        v.Record(16, Deleted(v, 16, u"small.txt", qm::test::BytesOf("small")));
        v.Record(18, DeletedRuns(v, 18, u"nr.bin", RunListBuilder().Run(1, 6).Build(), 4000));
        v.Data(6, Pattern(4096, 9)).TotalClusters(8);
        s.Volume("smallrecords", v, v.Build());
    }
    {  // Records of 4 KiB sectors; only the records, the volume is too large for a seed.
        VolumeBuilder v;
        v.BytesPerSector(4096).SectorsPerClusterByte(1).ClustersPerRecord(1);
        s.Record("4kn-deleted", Deleted(v, 16, u"4kn.txt", Pattern(900, 5)), 2);
    }

    // Run lists: the shapes the recovery meets, and a few it must refuse.
    s.RunList("one", RunListBuilder().Run(1, 10).Build(), 4096);
    s.RunList("holes-negative", RunListBuilder().Run(2, 12).Sparse(1).Run(1, 3).Build(),
              4 * 4096 - 100);
    s.RunList("wide", RunListBuilder().Fields(1, 8, 5, 8).Build(), 4096);
    s.RunList("past-end", RunListBuilder().Run(2, 1000000).Run(1, 2).Build(), 3 * 512, 1);
    s.RunList("empty", Bytes{0}, 1000);
    s.RunList(
        "many",
        [] {
            RunListBuilder b;
            for (std::uint64_t i = 0; i < 40; ++i) i % 3 ? b.Run(1, 2 + (i * 7) % 13) : b.Sparse(1);
            return b.Build();
        }(),
        40 * 512, 1);
}

Bytes ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void ReferenceSeeds(Seeds& s, const fs::path& ref) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(ref / "boot", ec))
        s.Put("boot", e.path().stem().string(), ReadFile(e.path()));
    for (const auto& e : fs::directory_iterator(ref / "mft", ec)) {
        if (e.path().extension() != ".mft") continue;
        const Bytes mft = ReadFile(e.path());
        if (mft.size() < 48) continue;
        const std::size_t rs = qm::test::GetLe(mft, 28, 4);  // allocated size of record 0
        if (rs != 1024 && rs != 4096) continue;
        const std::string name = e.path().stem().string();
        s.RecordsOf(name, mft, rs);
        if (rs != 1024) continue;
        // Records 1 to 63 behind a record 0 of our own, on a volume small enough to fuzz.
        VolumeBuilder v;
        v.SectorsPerClusterByte(1).ClustersPerRecord(2).MftCluster(2).RecordCount(58).TotalClusters(
            118);
        for (std::uint64_t i = 1; i < 58 && (i + 1) * rs <= mft.size(); ++i)
            v.Record(i, Bytes(mft.begin() + static_cast<std::ptrdiff_t>(i * rs),
                              mft.begin() + static_cast<std::ptrdiff_t>((i + 1) * rs)));
        s.Put("image", name, v.Build());
    }
    for (const auto& e : fs::directory_iterator(ref / "volumes", ec)) {
        if (e.path().extension() != ".img") continue;
        Bytes image = ReadFile(e.path());
        const std::string name = e.path().stem().string();
        image.resize(std::min(image.size(), kImageLimit));
        s.Put("image", name, image);
        image.resize(std::min(image.size(), kBootLimit));
        s.Put("boot", name, image);
    }
}

// The records of a whole volume, raw as they lie on it: the ones the MFT's
// first records hold and its deleted files, squeezed into a volume small
// enough to fuzz.
// The stored units of a compressed $DATA that hold LZNT1 chunks (those with a
// sparse tail), as fuzz_lznt1 takes them.
void CompressedUnitSeeds(Seeds& s, qm::RawVolume& volume, const qm::VolumeInfo& info,
                         const std::string& name, const Bytes& record) {
    auto data = qm::FindAttributeView(qm::ByteView(record.data(), record.size()), qm::kAttrData);
    if (!data || data->U8(qm::kAttrNonResident) != 1 ||
        !(data->U16(qm::kAttrFlags).value_or(0) & 1))
        return;
    auto list = qm::RunListOf(*data);
    if (!list) return;
    auto runs = qm::DecodeRunList(*list);
    if (!runs) return;
    const std::uint32_t cs = info.geometry.ClusterSize;
    const std::size_t unit = std::size_t{1} << data->U8(34).value_or(4);
    std::vector<std::optional<std::uint64_t>> lcns;
    for (const auto& r : *runs) {
        for (std::uint64_t i = 0; i < r.length && lcns.size() < 4096; ++i)
            lcns.push_back(r.sparse ? std::nullopt : std::optional(r.lcn + i));
    }
    for (std::size_t u = 0; u * unit < lcns.size() && u < 8; ++u) {
        Bytes in{0, 0};  // decode mode, a 64 KiB output
        std::size_t i = u * unit;
        for (; i < std::min(lcns.size(), (u + 1) * unit) && lcns[i]; ++i) {
            Bytes cluster(cs);
            volume.ReadAt(*lcns[i] * cs, cluster);
            in.insert(in.end(), cluster.begin(), cluster.end());
        }
        if (in.size() > 2 && i - u * unit < unit)
            s.Put("lznt1", name + "-unit" + std::to_string(u), in);
    }
}

void ImageSeeds(Seeds& s, const fs::path& path) {
    auto opened = qm::OpenRawVolume(path.string());
    if (!opened) return;
    qm::RawVolume& volume = **opened;
    const qm::SetupResult setup = qm::SetupVolume(volume);
    if (!setup.info) return;
    const qm::VolumeInfo& info = *setup.info;
    const std::uint32_t rs = info.geometry.RecordSize;
    const std::string name = path.stem().string();
    auto raw = [&](std::uint64_t index) {
        Bytes rec(rs);
        std::size_t at = 0;
        for (const auto& p : info.map.Map(index * rs, rs)) {
            if (p.mapped)
                volume.ReadAt(p.offset, std::span<std::uint8_t>(rec.data() + at, p.length));
            at += p.length;
        }
        return rec;
    };
    std::vector<Bytes> keep;  // records 1..15, then deleted files
    for (std::uint64_t i = 1; i < 16; ++i) keep.push_back(raw(i));
    std::vector<Bytes> deleted;
    Bytes fixed(rs);
    for (std::uint64_t i = 16;
         i < static_cast<std::uint64_t>(info.MftRecordCount) && deleted.size() < 64; ++i) {
        if (qm::ReadMftRecord(volume, info, i, fixed) != qm::RecordRead::Ok) continue;
        if (!qm::RowFromRecord(qm::ByteView(fixed.data(), fixed.size()))) continue;
        CompressedUnitSeeds(s, volume, info, name + "-r" + std::to_string(i), fixed);
        deleted.push_back(raw(i));
    }
    for (std::size_t i = 0; i < keep.size(); ++i)
        s.Record(name + "-sys" + std::to_string(i + 1), keep[i]);
    for (std::size_t i = 0; i < deleted.size(); ++i)
        s.Record(name + "-deleted" + std::to_string(i), deleted[i]);
    s.Record(name + "-r0", raw(0));

    // The small volume: the image's own geometry, as many records as fit in 60 KiB.
    const std::uint64_t cs = info.geometry.ClusterSize;
    if (cs > 4096 || info.geometry.BytesPerSector != 512) return;
    const std::uint64_t records =
        std::min<std::uint64_t>(16 + deleted.size(), (60 * 1024 - 2 * cs) / rs);
    if (records <= 16) return;
    VolumeBuilder v;
    v.SectorsPerClusterByte(info.boot.sectorsPerClusterByte)
        .ClustersPerRecord(info.boot.clustersPerRecord)
        .MftCluster(1)
        .RecordCount(records);
    for (std::uint64_t i = 1; i < records; ++i) v.Record(i, i < 16 ? keep[i - 1] : deleted[i - 16]);
    v.TotalClusters(1 + (records * rs + cs - 1) / cs);
    s.Put("image", name, v.Build());
}

}  // namespace

// Files of the formats that no tool on the machine writes, for fuzz_carve.
void CarveSeeds(Seeds& s) {
    const std::vector<qm::test::NamedBytes> files = {{"a.txt", Pattern(700, 1)},
                                                     {"b.bin", Pattern(90, 2)}};
    s.Put("carve", "rar4", qm::test::Rar4Stored(files));
    s.Put("carve", "rar5", qm::test::Rar5Stored(files));
    s.Put("carve", "doc", qm::test::CompoundFile({{"WordDocument", Pattern(5000, 3)}}, "Title"));
    s.Put("carve", "msg", qm::test::CompoundFile({{"__substg1.0_0037001F", Pattern(80, 4)}}));
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTDIR [REFERENCE_DIR]\n", argv[0]);
        return 2;
    }
    Seeds s{fs::path(argv[1])};
    BuilderSeeds(s);
    Lznt1Seeds(s);
    CarveSeeds(s);
    if (argc > 2) ReferenceSeeds(s, argv[2]);
    for (int i = 3; i < argc; ++i) ImageSeeds(s, argv[i]);
    std::printf("%d seeds in %s\n", s.count(), argv[1]);
    return 0;
}
