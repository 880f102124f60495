// The content image (tools/volumes/content.desc): compressed files, named
// streams, a file over extension records, folder trees, an orphan, overwritten
// clusters and an EFS flag, as libntfs-3g wrote them. The manifest is checked
// against The Sleuth Kit (flags from istat, content from icat of the same
// volume made without its last deletions), and the compressed files are
// decompressed unit by unit with our LZNT1 decoder.
#include <gtest/gtest.h>

#include <regex>

#include "ntfs/Lznt1.h"
#include "tests/integration/IntegrationSupport.h"
#include "tests/support/Md5.h"

namespace qm::itest {
namespace {

using Bytes = std::vector<std::uint8_t>;

class ContentImage : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = ImageDir() / "content.img";
        live_ = ImageDir() / "content-live.img";
        for (const fs::path& p : {image_, live_}) {
            if (!fs::exists(p) || !fs::exists(p.string() + ".manifest.tsv"))
                GTEST_SKIP() << p << " was not made (qm-mkvolume is not built)";
        }
        manifest_ = ReadManifest(image_, true);
    }
    static bool HaveTsk() { return HaveCommand("istat") && HaveCommand("icat"); }
    std::string Istat(const fs::path& image, std::uint64_t record) const {
        auto out = RunCapture("istat " + ShellQuote(image.string()) + " " + std::to_string(record));
        EXPECT_TRUE(out.has_value()) << "istat " << record;
        return out.value_or("");
    }

    fs::path image_, live_;
    std::vector<ManifestEntry> manifest_;
};

// The $DATA lines of istat: attribute id, name ("N/A" for the unnamed one), the rest.
struct IstatData {
    std::string id, name, line;
};
std::vector<IstatData> DataLines(const std::string& istat) {
    static const std::regex data(R"(Type: \$DATA \(128-(\d+)\)\s+Name: (\S+)\s+([^\n]*))");
    std::vector<IstatData> out;
    for (std::sregex_iterator it(istat.begin(), istat.end(), data), end; it != end; ++it)
        out.push_back({(*it)[1], (*it)[2], (*it)[3]});
    return out;
}

TEST_F(ContentImage, HoldsEveryKindOfFileTheTestsNeed) {
    struct Want {
        const char* what;
        bool (*match)(const ManifestEntry&);
    };
    const Want wants[] = {
        {"a deleted compressed file",
         [](const ManifestEntry& e) { return e.deleted && e.Has("compressed") && !e.IsDir(); }},
        {"a deleted compressed file over several units",
         [](const ManifestEntry& e) {
             return e.deleted && e.Has("compressed") && e.size > 3 * 65536;
         }},
        {"a deleted named stream",
         [](const ManifestEntry& e) { return e.deleted && !e.stream.empty(); }},
        {"a deleted file over extension records",
         [](const ManifestEntry& e) { return e.deleted && e.Has("attrlist"); }},
        {"a deleted EFS-flagged file",
         [](const ManifestEntry& e) { return e.deleted && e.Has("encrypted"); }},
        {"a deleted folder", [](const ManifestEntry& e) { return e.deleted && e.IsDir(); }},
        {"a deleted file in a deleted folder two levels down",
         [](const ManifestEntry& e) { return e.deleted && e.path.rfind("/gone/inner/", 0) == 0; }},
        {"an orphan", [](const ManifestEntry& e) { return e.deleted && e.Has("orphan"); }},
        {"a file wholly overwritten",
         [](const ManifestEntry& e) { return e.deleted && e.clusters > 0 && e.freeClusters == 0; }},
        {"a file partly overwritten",
         [](const ManifestEntry& e) {
             return e.deleted && e.freeClusters > 0 && e.freeClusters < e.clusters;
         }},
    };
    for (const Want& w : wants) {
        EXPECT_TRUE(std::any_of(manifest_.begin(), manifest_.end(), w.match)) << w.what;
    }
}

// The folder a new file took is the orphans' folder, and that file is in use
// in the same record.
TEST_F(ContentImage, OrphansPointAtAFolderRecordNowInUse) {
    for (const auto& e : manifest_) {
        if (!e.Has("orphan") || e.IsDir()) continue;
        auto dir = std::find_if(manifest_.begin(), manifest_.end(), [&](const ManifestEntry& d) {
            return d.IsDir() && d.path == e.parent;
        });
        ASSERT_NE(dir, manifest_.end()) << e.path;
        EXPECT_TRUE(dir->deleted);
        const bool taken = std::any_of(manifest_.begin(), manifest_.end(), [&](const auto& f) {
            return !f.deleted && f.record == dir->record;
        });
        EXPECT_TRUE(taken) << e.parent << " record " << dir->record;
    }
}

TEST_F(ContentImage, SleuthKitSeesTheFlags) {
    if (!HaveTsk()) GTEST_SKIP() << "The Sleuth Kit is not installed";
    for (const auto& e : manifest_) {
        if (e.IsDir() || !e.stream.empty()) continue;
        SCOPED_TRACE(e.path);
        const std::string istat = Istat(image_, e.record);
        std::smatch flags;
        ASSERT_TRUE(std::regex_search(istat, flags, std::regex(R"(Flags: ([^\n]*))")));
        EXPECT_EQ(flags[1].str().find("Compressed") != std::string::npos, e.Has("compressed"));
        EXPECT_EQ(flags[1].str().find("Encrypted") != std::string::npos, e.Has("encrypted"));
        for (const auto& d : DataLines(istat)) {
            if (d.name == "N/A" && d.line.rfind("Non-Resident", 0) == 0) {
                EXPECT_EQ(d.line.find("Compressed") != std::string::npos, e.Has("compressed"));
            }
        }
        EXPECT_EQ(istat.find("$ATTRIBUTE_LIST") != std::string::npos, e.Has("attrlist"));
        if (e.Has("attrlist")) {
            // Its name lies in an extension record.
            std::smatch name;
            ASSERT_TRUE(
                std::regex_search(istat, name, std::regex(R"(Type: 48-\d+\s+MFT Entry: (\d+))")));
            EXPECT_NE(std::stoull(name[1]), e.record);
        }
    }
}

// Every file and stream deleted last, read by icat while still in use.
TEST_F(ContentImage, IcatBeforeDeletionGivesTheManifestContent) {
    if (!HaveTsk()) GTEST_SKIP() << "The Sleuth Kit is not installed";
    int checked = 0;
    for (const auto& e : ReadManifest(live_)) {
        const bool deletedLater =
            std::any_of(manifest_.begin(), manifest_.end(), [&](const auto& d) {
                return d.deleted && d.record == e.record && d.path == e.path &&
                       d.stream == e.stream;
            });
        if (e.deleted || !deletedLater) continue;
        SCOPED_TRACE(e.path + (e.stream.empty() ? "" : ":" + e.stream));
        std::string id;
        for (const auto& d : DataLines(Istat(live_, e.record))) {
            if (d.name == (e.stream.empty() ? "N/A" : e.stream)) id = d.id;
        }
        ASSERT_FALSE(id.empty());
        const std::string target = std::to_string(e.record) + "-128-" + id;
        EXPECT_EQ(CommandOutputMd5("icat " + ShellQuote(live_.string()) + " " + target), e.md5);
        ++checked;
    }
    EXPECT_GE(checked, 10);
}

// ---- Compressed files through our decoder -----------------------------------------

struct CompressedData {
    std::uint64_t size = 0;
    unsigned unitClusters = 0;
    std::vector<std::optional<std::uint64_t>> clusters;  // LCN of each VCN; nullopt: sparse
};

std::optional<CompressedData> ReadCompressedData(RawVolume& volume, const VolumeInfo& info,
                                                 std::uint64_t record) {
    Bytes rec(info.geometry.RecordSize);
    if (ReadMftRecord(volume, info, record, rec) != RecordRead::Ok) return std::nullopt;
    auto data = FindAttributeView(ByteView(rec.data(), rec.size()), kAttrData);
    if (!data || data->U8(kAttrNonResident) != 1) return std::nullopt;
    if (!(data->U16(kAttrFlags).value_or(0) & 0x0001)) return std::nullopt;
    auto list = RunListOf(*data);
    if (!list) return std::nullopt;
    auto runs = DecodeRunList(*list);
    if (!runs) return std::nullopt;
    CompressedData c;
    c.size = data->U64(kNrDataSize).value_or(0);
    c.unitClusters = 1u << data->U8(34).value_or(0);  // compression unit, log2 of clusters
    for (const DataRun& r : *runs) {
        for (std::uint64_t i = 0; i < r.length; ++i)
            c.clusters.push_back(r.sparse ? std::nullopt : std::optional(r.lcn + i));
    }
    return c;
}

// A unit whose clusters are all allocated is stored raw, one with a sparse
// tail holds LZNT1 chunks, a sparse one is zeros.
Bytes Decompress(RawVolume& volume, const CompressedData& c, std::uint32_t clusterSize) {
    const std::size_t unitBytes = std::size_t{c.unitClusters} * clusterSize;
    Bytes out;
    for (std::size_t u = 0; u * c.unitClusters < c.clusters.size(); ++u) {
        Bytes stored;
        for (std::size_t i = u * c.unitClusters;
             i < std::min(c.clusters.size(), (u + 1) * c.unitClusters) && c.clusters[i]; ++i) {
            Bytes cluster(clusterSize);
            volume.ReadAt(*c.clusters[i] * clusterSize, cluster);
            stored.insert(stored.end(), cluster.begin(), cluster.end());
        }
        Bytes unit(unitBytes, 0);
        if (stored.size() == unitBytes) {
            unit = stored;
        } else if (!stored.empty()) {
            auto n = DecompressLznt1(stored, unit);
            EXPECT_TRUE(n.ok()) << "unit " << u << ": " << n.error().ToString();
        }
        out.insert(out.end(), unit.begin(), unit.end());
    }
    out.resize(std::min<std::size_t>(out.size(), c.size));
    return out;
}

// Every deleted compressed file whose clusters are still free, on each cluster
// size libntfs-3g compresses (a unit is 16 clusters: 8, 32 and 64 KiB).
class CompressedImage : public ::testing::TestWithParam<const char*> {};

TEST_P(CompressedImage, CompressedFilesDecompressToTheirContent) {
    const fs::path image = ImageDir() / (std::string(GetParam()) + ".img");
    if (!fs::exists(image) || !fs::exists(image.string() + ".manifest.tsv"))
        GTEST_SKIP() << image << " was not made (qm-mkvolume is not built)";
    auto volume = OpenRawVolume(image.string());
    ASSERT_TRUE(volume.ok()) << volume.error().ToString();
    const SetupResult setup = ReadVolumeLayout(**volume);
    ASSERT_EQ(setup.stop, SetupStop::None) << setup.reason;
    int checked = 0, units = 0;
    for (const auto& e : ReadManifest(image)) {
        if (!e.deleted || !e.Has("compressed") || e.clusters == 0 || e.freeClusters < e.clusters)
            continue;
        SCOPED_TRACE(e.path);
        auto data = ReadCompressedData(**volume, *setup.info, e.record);
        ASSERT_TRUE(data.has_value());
        EXPECT_EQ(data->unitClusters, 16u);
        EXPECT_EQ(data->size, e.size);
        const Bytes content = Decompress(**volume, *data, setup.info->geometry.ClusterSize);
        ASSERT_EQ(content.size(), e.size);
        EXPECT_EQ(Md5Hex(content), e.md5);
        ++checked;
        units +=
            static_cast<int>((data->clusters.size() + data->unitClusters - 1) / data->unitClusters);
    }
    EXPECT_GE(checked, 3);
    EXPECT_GE(units, 8);
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, CompressedImage,
                         ::testing::Values("content", "compressed-c512", "compressed-c2048"));

}  // namespace
}  // namespace qm::itest
