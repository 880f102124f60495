// Extraction of one file: resident and non-resident content, damaged run
// lists, and output that appears whole or not at all.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/RawVolume.h"
#include "recover/Md5.h"
#include "recover/RecoverRecord.h"
#include "recover/Sha256.h"
#include "scan/ScanEngine.h"
#include "tests/support/VolumeBuilder.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::RunListBuilder;
using test::VolumeBuilder;

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 9));
    return b;
}

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class Recover : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("qm-recover-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        v_.MftCluster(4).RecordCount(64);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Places record 16 built by `b` and returns the result of recovering it to dir/out.
    RecoverResult Run(test::RecordBuilder b, const std::string& name = "out") {
        v_.Record(16, b.Build());
        image_ = v_.Build();
        MemoryVolume volume(image_);
        return RecoverRecord(volume, PositionText(v_.RecordOffset(16)), Geometry(),
                             (dir_ / name).string());
    }
    VolumeGeometry Geometry() const {
        return {v_.RecordSize(), v_.ClusterSize(),
                static_cast<std::uint16_t>(v_.BytesPerSectorValue()), v_.SectorsPerCluster()};
    }
    test::RecordBuilder Rec() const {
        return v_.NewRecord(16).StandardInformation(1, 2).FileName(u"f.bin");
    }
    std::size_t FilesInDir() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), {}));
    }

    VolumeBuilder v_;
    Bytes image_;
    fs::path dir_;
};

TEST_F(Recover, ResidentContent) {
    Bytes content = Pattern(300, 1);
    auto r = Run(Rec().ResidentData(content));
    ASSERT_EQ(r.status, RecoverStatus::Written) << r.detail;
    EXPECT_TRUE(Slurp(dir_ / "out") == std::string(content.begin(), content.end()));
    // An empty resident value still makes an empty file.
    auto e = Run(Rec().ResidentData(Bytes{}), "empty");
    ASSERT_EQ(e.status, RecoverStatus::Written);
    EXPECT_TRUE(fs::exists(dir_ / "empty"));
    EXPECT_EQ(fs::file_size(dir_ / "empty"), 0u);
}

TEST_F(Recover, RunsWithSparseHoleAndNegativeOffsets) {
    const std::uint32_t cs = v_.ClusterSize();
    Bytes a = Pattern(2 * cs, 3), b = Pattern(cs, 9);
    v_.Data(300, a).Data(200, b);
    // 2 clusters at 300, a 1-cluster hole, 1 cluster at 200 (a negative distance).
    auto runs = RunListBuilder().Run(2, 300).Sparse(1).Run(1, 200).Build();
    const std::uint64_t size = 4ull * cs - 100;
    auto r = Run(Rec().NonResidentData(runs, size, size, 0, 3));
    ASSERT_EQ(r.status, RecoverStatus::Written) << r.detail;
    std::string expect(a.begin(), a.end());
    expect += std::string(cs, '\0');
    expect += std::string(b.begin(), b.end() - 100);
    EXPECT_TRUE(Slurp(dir_ / "out") == expect);
    EXPECT_FALSE(r.digests);  // nothing hashed unless asked

    // Asked for, the digests cover the hole as the zeros written; the progress
    // counts every byte, the hole too.
    struct Counter final : ContentProgress {
        void Advance(std::uint64_t bytes) override { total += bytes; }
        std::uint64_t total = 0;
    } counter;
    RecoverOptions o;
    o.digests = true;
    o.progress = &counter;
    MemoryVolume volume(image_);
    auto hashed = RecoverRecord(volume, PositionText(v_.RecordOffset(16)), Geometry(),
                                (dir_ / "hashed").string(), DefaultOutputFactory(), o);
    ASSERT_EQ(hashed.status, RecoverStatus::Written) << hashed.detail;
    ASSERT_TRUE(hashed.digests);
    EXPECT_EQ(HexDigest(hashed.digests->md5), Md5Hex(expect));
    Sha256 sha;
    sha.Update(expect);
    EXPECT_EQ(hashed.digests->sha256, sha.Final());
    EXPECT_EQ(counter.total, size);
}

TEST_F(Recover, CutOrFilledToTheDataSize) {
    const std::uint32_t cs = v_.ClusterSize();
    v_.Data(300, Pattern(cs, 5));
    auto runs = RunListBuilder().Run(1, 300).Build();
    // Runs that end before the data size: the rest is missing, zeros and damage.
    auto r = Run(Rec().NonResidentData(runs, 3 * cs + 5, 3 * cs + 5, 0, 0));
    ASSERT_EQ(r.status, RecoverStatus::Damaged);
    EXPECT_EQ(r.unreadable, (std::vector<ByteRange>{{cs, 2 * cs + 5}}));
    EXPECT_EQ(fs::file_size(dir_ / "out"), 3u * cs + 5);
    // Runs past the data size are cut.
    auto cut = Run(Rec().NonResidentData(runs, 100, 100, 0, 0), "cut");
    ASSERT_EQ(cut.status, RecoverStatus::Written);
    EXPECT_EQ(fs::file_size(dir_ / "cut"), 100u);
    // Only the end marker: the data size in zeros, all of it damage.
    auto zeros = Run(Rec().NonResidentData(Bytes{0}, 1000, 1000), "zeros");
    ASSERT_EQ(zeros.status, RecoverStatus::Damaged);
    EXPECT_TRUE(Slurp(dir_ / "zeros") == std::string(1000, '\0'));
}

TEST_F(Recover, RunPastTheVolumeEndKeepsLaterRunsInPlace) {
    const std::uint32_t cs = v_.ClusterSize();
    Bytes tail = Pattern(cs, 11);
    v_.Data(300, tail).TotalClusters(400);
    auto runs = RunListBuilder().Run(2, 1000000).Run(1, 300).Build();
    auto r = Run(Rec().NonResidentData(runs, 3 * cs, 3 * cs, 0, 2));
    ASSERT_EQ(r.status, RecoverStatus::Damaged);
    EXPECT_EQ(r.unreadable, (std::vector<ByteRange>{{0, 2 * cs}}));
    EXPECT_TRUE(Slurp(dir_ / "out") ==
                std::string(2 * cs, '\0') + std::string(tail.begin(), tail.end()));
}

TEST_F(Recover, DamagedRecordsLeaveNoFileAndAnExistingOneUntouched) {
    { std::ofstream(dir_ / "out") << "keep me"; }
    const std::uint32_t cs = v_.ClusterSize();
    struct Case {
        const char* what;
        test::RecordBuilder b;
        RecoverStatus expect;
    };
    std::vector<Case> cases;
    cases.push_back({"in use", Rec().Flags(1).ResidentData(Bytes{1, 2}), RecoverStatus::InUse});
    cases.push_back({"directory", Rec().Flags(2).ResidentData(Bytes{1}), RecoverStatus::InUse});
    cases.push_back({"no data", Rec(), RecoverStatus::NoData});
    cases.push_back(
        {"torn", Rec().ResidentData(Bytes{1}).MismatchSector(2), RecoverStatus::BadRecord});
    cases.push_back({"overflowing length",
                     Rec().NonResidentData(
                         RunListBuilder().Fields(0x00FFFFFFFFFFFFFFull, 7, 10, 1).Build(), cs, cs),
                     RecoverStatus::Malformed});
    cases.push_back({"overflowing position",
                     Rec().NonResidentData(
                         RunListBuilder().Fields(1, 1, 0x7FFFFFFFFFFFFFull, 7).Build(), cs, cs),
                     RecoverStatus::Malformed});
    cases.push_back(
        {"field wider than 8",
         Rec().NonResidentData(
             RunListBuilder().Raw({0x19, 1, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0}).Build(false), cs, cs),
         RecoverStatus::Malformed});
    cases.push_back(
        {"no end marker",
         // Eight bytes of runs that fill the attribute to its end, no 0 header.
         Rec().NonResidentData(RunListBuilder().Raw({0x11, 1, 5, 0x11, 1, 5, 0x01, 1}).Build(false),
                               cs, cs),
         RecoverStatus::Malformed});
    cases.push_back(
        {"negative cluster",
         Rec().NonResidentData(RunListBuilder().Run(1, 10).Fields(1, 1, 0xE0, 1).Build(), cs, cs),
         RecoverStatus::Malformed});
    cases.push_back({"huge data size",
                     Rec().NonResidentData(RunListBuilder().Run(1, 10).Build(), 1ull << 63, 0),
                     RecoverStatus::Malformed});
    cases.push_back({"run list offset past the attribute",
                     Rec()
                         .NonResidentData(RunListBuilder().Run(1, 10).Build(), cs, cs)
                         .PatchAttributeLe(32, 0x400, 2),
                     RecoverStatus::Malformed});
    {
        // Runs that keep pointing at the same clusters, more of them than the volume has.
        Bytes list;
        for (int i = 0; i < 60; ++i)
            list.insert(
                list.end(),
                {0x11, 0x40, static_cast<std::uint8_t>(i == 0 ? 0x0A : (i % 2 ? 0x01 : 0xFF))});
        list.push_back(0);
        const std::uint64_t size = 60ull * 64 * cs;
        cases.push_back({"runs claiming more clusters than the volume has",
                         Rec().NonResidentData(list, size, size), RecoverStatus::Malformed});
    }
    cases.push_back({"resident length of 2 GiB",
                     Rec().ResidentData(Bytes{1, 2, 3}).PatchAttributeLe(16, 0x80000000u, 4),
                     RecoverStatus::Malformed});
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = Run(c.b);
        EXPECT_EQ(r.status, c.expect) << RecoverStatusText(r.status) << " " << r.detail;
        EXPECT_TRUE(Slurp(dir_ / "out") == "keep me");
        EXPECT_EQ(FilesInDir(), 1u);  // no temporary left behind
    }
}

TEST_F(Recover, PositionText) {
    EXPECT_EQ(ParsePosition("0x4000"), 0x4000u);
    EXPECT_EQ(ParsePosition("0xc0004000"), 0xC0004000u);
    EXPECT_EQ(ParsePosition("zz1F"), 0x1Fu);  // the first two characters are dropped unread
    EXPECT_EQ(ParsePosition("0xFFFFFFFFFFFFFFFF"), ~0ull);
    EXPECT_FALSE(ParsePosition("0x"));
    EXPECT_FALSE(ParsePosition("0x12G"));
    EXPECT_FALSE(ParsePosition("0x 12"));
    EXPECT_FALSE(ParsePosition("0x10000000000000000"));
    MemoryVolume empty(Bytes{});
    auto r = RecoverRecord(empty, "0xQ", Geometry(), (dir_ / "x").string());
    EXPECT_EQ(r.status, RecoverStatus::BadPosition);
    EXPECT_EQ(FilesInDir(), 0u);
}

TEST_F(Recover, MissingFolderIsReportedNotCrashed) {
    auto r = Run(Rec().ResidentData(Bytes{1, 2, 3}), "no/such/folder/out");
    EXPECT_EQ(r.status, RecoverStatus::OutputFailed);
}

// An output that fails after a set number of bytes, or at commit.
struct FailingOutput : OutputFactory {
    std::uint64_t failAfter = ~0ull;
    bool failCommit = false;
    int created = 0, committed = 0;
    struct File : OutputFile {
        FailingOutput& f;
        std::uint64_t written = 0;
        explicit File(FailingOutput& o) : f(o) {}
        bool Write(std::span<const std::uint8_t> b) override {
            return (written += b.size()) <= f.failAfter;
        }
        bool WriteZeros(std::uint64_t n) override { return (written += n) <= f.failAfter; }
        bool Commit() override { return !f.failCommit && ++f.committed; }
    };
    ErrorOr<std::unique_ptr<OutputFile>> Create(const std::string&) override {
        ++created;
        return std::unique_ptr<OutputFile>(std::make_unique<File>(*this));
    }
};

TEST_F(Recover, FailingOutputIsNeverCommitted) {
    const std::uint32_t cs = v_.ClusterSize();
    v_.Data(300, Pattern(4 * cs, 2));
    v_.Record(
        16,
        Rec().NonResidentData(RunListBuilder().Run(4, 300).Build(), 4 * cs, 4 * cs, 0, 3).Build());
    image_ = v_.Build();
    MemoryVolume volume(image_);
    for (std::uint64_t after : {0ull, 100ull, 3ull * cs}) {
        FailingOutput out;
        out.failAfter = after;
        auto r = RecoverRecord(volume, PositionText(v_.RecordOffset(16)), Geometry(), "x", out);
        EXPECT_EQ(r.status, RecoverStatus::OutputFailed);
        EXPECT_EQ(out.committed, 0);
    }
    FailingOutput commit;
    commit.failCommit = true;
    EXPECT_EQ(
        RecoverRecord(volume, PositionText(v_.RecordOffset(16)), Geometry(), "x", commit).status,
        RecoverStatus::OutputFailed);
}

// Files that note the times they are given and fail to set them when told.
struct TimedOutput final : OutputFactory {
    struct File final : OutputFile {
        TimedOutput& owner;
        explicit File(TimedOutput& o) : owner(o) {}
        bool Write(std::span<const std::uint8_t>) override { return true; }
        bool WriteZeros(std::uint64_t) override { return true; }
        bool Commit() override { return true; }
        void KeepTimes(const FileTimes& t) override { owner.given.push_back(t); }
        int TimesError() const override { return owner.given.empty() ? 0 : owner.failWith; }
    };
    ErrorOr<std::unique_ptr<OutputFile>> Create(const std::string&) override {
        return std::unique_ptr<OutputFile>(std::make_unique<File>(*this));
    }
    std::vector<FileTimes> given;
    int failWith = 0;
};

TEST_F(Recover, OriginalTimesComeFromStandardInformationAndOneNotSetIsANote) {
    const std::uint32_t cs = v_.ClusterSize();
    v_.Data(300, Pattern(cs, 5));
    struct Case {
        const char* what;
        bool resident, times;
        int failWith;
        std::string note;
    };
    // The note carries the system's text for the error (errno here, a Windows
    // error code there).
    const Case cases[] = {
        {"resident", true, true, 0, ""},
        {"non-resident", false, true, 0, ""},
        {"not asked for", true, false, 0, ""},
        {"refused by the output", false, true, EPERM, "times not set: " + SystemErrorText(EPERM)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto rec = v_.NewRecord(16).StandardInformation(111, 222).FileName(u"f.bin");
        if (c.resident)
            rec.ResidentData(Pattern(10, 1));
        else
            rec.NonResidentData(RunListBuilder().Run(1, 300).Build(), cs, cs, 0, 0);
        v_.Record(16, rec.Build());
        image_ = v_.Build();
        MemoryVolume volume(image_);
        TimedOutput out;
        out.failWith = c.failWith;
        RecoverOptions options;
        options.times = c.times;
        const RecoverResult r =
            RecoverRecord(volume, PositionText(v_.RecordOffset(16)), Geometry(), "x", out, options);
        EXPECT_EQ(r.status, RecoverStatus::Written);  // a time not set fails no file
        EXPECT_EQ(r.note, c.note);
        ASSERT_EQ(out.given.size(), c.times ? 1u : 0u);
        if (!c.times) continue;
        // The builder's access time is its modification time.
        EXPECT_EQ(out.given[0].created, 111u);
        EXPECT_EQ(out.given[0].modified, 222u);
        EXPECT_EQ(out.given[0].accessed, 222u);
    }
}

TEST(OutputNames, NeverLeaveTheFolder) {
    EXPECT_EQ(SafeOutputName("a.txt"), "a.txt");
    EXPECT_EQ(SafeOutputName("."), "_");
    EXPECT_EQ(SafeOutputName(".."), "__");
    EXPECT_EQ(SafeOutputName("../../etc/passwd"), ".._.._etc_passwd");
    EXPECT_EQ(SafeOutputName("..\\..\\x"), ".._.._x");
    EXPECT_EQ(SafeOutputName(std::string("a\0b", 3)), "a_b");
    EXPECT_EQ(SafeOutputName("文件.doc"), "文件.doc");
    EXPECT_EQ(SafeOutputName("..."), "...");
#ifndef _WIN32
    EXPECT_EQ(OutputPathByName("/out", "a.txt"), "/out/a.txt");
    EXPECT_EQ(OutputPathByName("/", "a.txt"), "//a.txt");
    EXPECT_EQ(OutputPathByNumber("/out", 7), "/out/File_7");
#endif
}

}  // namespace
}  // namespace qm
