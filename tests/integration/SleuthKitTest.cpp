// Cross-check with The Sleuth Kit, an independent NTFS reader: on the same
// volumes, the deleted files fls reports (less records without a $FILE_NAME
// and deleted directories) are our rows, istat gives the same sizes, and
// icat the same content up to the initialized size (past it TSK returns
// zeros while we return what the clusters hold).
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "recover/RecoverRecord.h"
#include "tests/integration/IntegrationSupport.h"

namespace qm::itest {
namespace {

struct TskRecord {
    std::uint64_t record = 0;
    bool directory = false;
};

// "-/r * 68-128-2:\tdocs/readme.txt", "-/d * 67-144-2:\tgone", "-/r * 16:\t$OrphanFiles/...".
// With -d every line is a deleted file; the star (a deleted name) can be
// missing when the name still sits in a live index block while its record is
// free, as libntfs-3g leaves it after emptying a directory.
std::vector<TskRecord> ParseFls(const std::string& out) {
    static const std::regex line(R"(^(\S)/(\S)\s+(\*\s+)?(\d+)[-:])");
    std::map<std::uint64_t, TskRecord> byRecord;
    std::istringstream in(out);
    std::string l;
    while (std::getline(in, l)) {
        std::smatch m;
        if (!std::regex_search(l, m, line)) continue;
        TskRecord r;
        r.record = std::stoull(m[4]);
        r.directory = m[2] == "d" || m[1] == "d";
        byRecord[r.record] = r;  // a record may be named twice (index slack and orphan)
    }
    std::vector<TskRecord> v;
    for (auto& [k, r] : byRecord) v.push_back(r);
    return v;
}

struct TskAttributes {
    bool hasFileName = false;
    bool hasData = false;
    std::uint64_t size = 0;
    std::uint64_t initialized = 0;
};

// The first $DATA line of istat: "Type: $DATA (128-2)   Name: N/A   Resident   size: 700"
// or "... Non-Resident   size: 262144  init_size: 262144".
TskAttributes ParseIstat(const std::string& out) {
    TskAttributes a;
    a.hasFileName = out.find("$FILE_NAME Attribute Values") != std::string::npos;
    static const std::regex data(
        R"(Type: \$DATA \(128-\d+\)[^\n]*?size: (\d+)(\s+init_size: (\d+))?)");
    std::smatch m;
    if (std::regex_search(out, m, data)) {
        a.hasData = true;
        a.size = std::stoull(m[1]);
        a.initialized = m[3].matched ? std::stoull(m[3]) : a.size;
    }
    return a;
}

struct Source {
    std::string name;
    fs::path image;            // the file TSK reads
    std::uint64_t offset = 0;  // byte offset of the volume in it
    std::unique_ptr<TempDir> unpacked;
};

class SleuthKit : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (!HaveCommand("fls") || !HaveCommand("ils") || !HaveCommand("istat") ||
            !HaveCommand("icat")) {
            GTEST_SKIP() << "The Sleuth Kit (fls, ils, istat, icat) is not installed";
        }
        const std::string name = GetParam();
        source_.name = name;
        const bool reference = name == "testfs1" || name == "file_4k" || name == "ntfs3_attrlist" ||
                               name == "gpt_disk";
        if (reference) {
            ASSERT_TRUE(fs::exists(TestdataDir() / "volumes"))
                << "reference volumes not found at " << TestdataDir();
        }
        if (name == "testfs1" || name == "file_4k" || name == "ntfs3_attrlist") {
            source_.unpacked = std::make_unique<TempDir>(name);
            source_.image =
                Gunzip(TestdataDir() / "volumes" / (name + ".img.gz"), source_.unpacked->path());
        } else if (name == "gpt_disk") {
            source_.unpacked = std::make_unique<TempDir>(name);
            Untar(TestdataDir() / "volumes" / "gpt_disk.tar.gz", source_.unpacked->path());
            for (const auto& e : fs::directory_iterator(source_.unpacked->path()))
                source_.image = e.path();
            source_.offset = 34603008;
        } else {
            source_.image = ImageDir() / (name + ".img");
            if (!fs::exists(source_.image)) GTEST_SKIP() << source_.image << " was not made";
        }
    }

    std::string Tsk(const std::string& tool, const std::string& args) const {
        std::string cmd = tool;
        if (source_.offset) cmd += " -o " + std::to_string(source_.offset / 512);
        return cmd + " " + ShellQuote(source_.image.string()) + args;
    }
    std::string SourceText() const {
        return source_.offset ? source_.image.string() + "@" + std::to_string(source_.offset)
                              : source_.image.string();
    }

    Source source_;
};

TEST_P(SleuthKit, SameDeletedFilesSizesAndContent) {
    const auto fls = RunCapture(Tsk("fls", " -r -d -p"));
    if (!fls)
        GTEST_SKIP() << "fls cannot read " << source_.name << " (TSK 4.11 rejects 2 MiB clusters)";
    // fls -d leaves out a free record whose name still sits in a live index
    // block (libntfs-3g leaves one behind when it empties a directory); the
    // names fls lists whose records ils calls free fill that gap.
    const auto all = RunCapture(Tsk("fls", " -r -p"));
    const auto ils = RunCapture(Tsk("ils", " -r"));
    ASSERT_TRUE(all && ils);
    std::set<std::uint64_t> freeRecords;
    {
        std::istringstream in(*ils);
        std::string l;
        while (std::getline(in, l)) {
            if (!l.empty() && std::isdigit(static_cast<unsigned char>(l[0])))
                freeRecords.insert(std::stoull(l));
        }
    }
    std::vector<TskRecord> candidates = ParseFls(*fls);
    for (const TskRecord& r : ParseFls(*all)) {
        if (freeRecords.count(r.record)) candidates.push_back(r);
    }

    // What TSK counts as deleted files.
    std::map<std::uint64_t, TskAttributes> tsk;
    for (const TskRecord& r : candidates) {
        if (r.directory || tsk.count(r.record)) continue;
        const auto istat = RunCapture(Tsk("istat", " " + std::to_string(r.record)));
        ASSERT_TRUE(istat.has_value()) << "istat " << r.record;
        const TskAttributes a = ParseIstat(*istat);
        if (!a.hasFileName) continue;
        tsk[r.record] = a;
    }

    auto volume = OpenRawVolume(SourceText());
    ASSERT_TRUE(volume.ok()) << volume.error().ToString();
    const ScanResult scan = ScanVolume(**volume);
    ASSERT_EQ(scan.summary.setup.stop, SetupStop::None) << scan.summary.setup.reason;

    std::set<std::uint64_t> ours, theirs;
    for (const auto& r : scan.rows) ours.insert(r.record);
    for (const auto& [record, a] : tsk) theirs.insert(record);
    EXPECT_EQ(ours, theirs);

    TempDir out(source_.name);
    for (std::size_t i = 0; i < scan.rows.size(); ++i) {
        const ScanRow& row = scan.rows[i];
        auto it = tsk.find(row.record);
        if (it == tsk.end()) continue;
        const TskAttributes& a = it->second;
        ASSERT_TRUE(a.hasData) << row.record;
        EXPECT_EQ(row.size, a.size) << "record " << row.record;

        const std::string path = OutputPathByNumber(out.path().string(), i);
        const RecoverResult r =
            RecoverRecord(**volume, PositionText(row.position), scan.Info().geometry, path);
        ASSERT_EQ(r.status, RecoverStatus::Written) << "record " << row.record << ": " << r.detail;
        const std::uint64_t compared = std::min(a.initialized, a.size);
        const auto icat = CommandOutputMd5(Tsk("icat", " " + std::to_string(row.record)), compared);
        ASSERT_TRUE(icat.has_value()) << "icat " << row.record;
        EXPECT_EQ(FileMd5(path, compared), *icat)
            << "record " << row.record << ", first " << compared << " bytes";
        fs::remove(path);
    }
}

// fls -p lines: record number -> the paths fls gives it ("Documents/readme.txt").
std::map<std::uint64_t, std::set<std::string>> FlsPaths(const std::string& out) {
    static const std::regex line(R"(^\S/\S\s+(\*\s+)?(\d+)[-:][^\t]*\t(.*)$)");
    std::map<std::uint64_t, std::set<std::string>> paths;
    std::istringstream in(out);
    std::string l;
    while (std::getline(in, l)) {
        std::smatch m;
        if (std::regex_search(l, m, line)) paths[std::stoull(m[2])].insert(m[3]);
    }
    return paths;
}

// The clusters istat lists for the first $DATA attribute (0: a sparse cluster).
std::vector<std::uint64_t> IstatClusters(const std::string& out) {
    std::vector<std::uint64_t> clusters;
    const auto at = out.find("Type: $DATA (128-");
    if (at == std::string::npos) return clusters;
    std::istringstream in(out.substr(out.find('\n', at) + 1));
    std::string l;
    while (std::getline(in, l) && !l.empty() && std::isdigit(static_cast<unsigned char>(l[0]))) {
        std::istringstream words(l);
        std::uint64_t c;
        while (words >> c) clusters.push_back(c);
    }
    return clusters;
}

TEST_P(SleuthKit, PathsAsFlsGivesThemAndRecoverabilityAsTheBitmapCounts) {
    const auto fls = RunCapture(Tsk("fls", " -r -p"));
    if (!fls)
        GTEST_SKIP() << "fls cannot read " << source_.name << " (TSK 4.11 rejects 2 MiB clusters)";
    const auto flsPaths = FlsPaths(*fls);
    auto volume = OpenRawVolume(SourceText());
    ASSERT_TRUE(volume.ok()) << volume.error().ToString();
    const ScanResult scan = ScanVolume(**volume);
    ASSERT_EQ(scan.summary.setup.stop, SetupStop::None) << scan.summary.setup.reason;

    // $Bitmap as TSK reads it, for a direct count.
    TempDir tmp(source_.name);
    const std::string bitmapFile = (tmp.path() / "bitmap").string();
    ASSERT_TRUE(RunCapture(Tsk("icat", " 6 > " + ShellQuote(bitmapFile)))) << "icat 6";
    std::ifstream bitmapIn(bitmapFile, std::ios::binary);
    const std::string bitmap((std::istreambuf_iterator<char>(bitmapIn)), {});

    std::size_t pathsCompared = 0, countsCompared = 0;
    for (const ScanRow& row : scan.rows) {
        const FolderPath folder = RowFolder(scan.summary, row);
        const std::string path = Utf8(RowPath(folder, row));
        auto it = flsPaths.find(row.record);
        if (!folder.orphan && it != flsPaths.end() &&
            !it->second.begin()->starts_with("$OrphanFiles")) {
            EXPECT_TRUE(it->second.count(path.substr(1)))
                << "record " << row.record << ": " << path << ", fls: " << *it->second.begin();
            ++pathsCompared;
        }
        if (row.flags & kRowResident) {
            EXPECT_EQ(int(row.recoverable), 100) << row.record;
            continue;
        }
        const auto istat = RunCapture(Tsk("istat", " " + std::to_string(row.record)));
        ASSERT_TRUE(istat) << "istat " << row.record;
        std::uint64_t clusters = 0, taken = 0;
        for (std::uint64_t c : IstatClusters(*istat)) {
            if (c == 0) continue;
            ++clusters;
            const bool set = c / 8 >= bitmap.size() ||
                             (static_cast<unsigned char>(bitmap[c / 8]) >> (c % 8)) & 1;
            taken += set;
        }
        const std::uint64_t want = clusters == 0 ? 100 : (clusters - taken) * 100 / clusters;
        EXPECT_EQ(int(row.recoverable), int(want)) << "record " << row.record;
        ++countsCompared;
    }
    if (!scan.rows.empty()) {
        EXPECT_GT(pathsCompared, 0u);
    }
    std::printf("%s: %zu paths and %zu cluster counts compared\n", source_.name.c_str(),
                pathsCompared, countsCompared);
}

INSTANTIATE_TEST_SUITE_P(Volumes, SleuthKit,
                         ::testing::Values("c512", "c4096", "c65536", "c2m", "rec4096",
                                           "fragmented-mft", "demo", "testfs1", "file_4k",
                                           "ntfs3_attrlist", "gpt_disk"),
                         [](const auto& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace
}  // namespace qm::itest
