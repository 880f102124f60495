// The volume set-up and the deleted-file walk, on volumes built in memory.
#include <gtest/gtest.h>

#include <tuple>

#include "platform/RawVolume.h"
#include "platform/testing/FaultyVolume.h"
#include "scan/ScanEngine.h"
#include "tests/support/VolumeBuilder.h"

namespace qm {
namespace {

using test::Bytes;
using test::VolumeBuilder;

struct Recorder : ScanObserver {
    std::vector<std::pair<DriveLabel, std::string>> labels;
    std::vector<ScanRow> rows;
    std::optional<VolumeGeometry> geometry;
    std::int64_t walkStart = -1;
    std::atomic<bool>* stopAfterFirstRow = nullptr;

    void OnLabel(DriveLabel which, const std::string& text) override {
        labels.emplace_back(which, text);
    }
    void OnGeometry(const VolumeGeometry& g) override { geometry = g; }
    void OnWalkStart(std::int64_t count) override { walkStart = count; }
    void OnRow(ScanRow&& row) override {
        rows.push_back(std::move(row));
        if (stopAfterFirstRow) stopAfterFirstRow->store(true);
    }
    std::vector<std::uint64_t> Records() const {
        std::vector<std::uint64_t> r;
        for (const auto& row : rows) r.push_back(row.record);
        return r;
    }
};

ScanSummary Scan(Bytes image, Recorder& rec, ScanOptions options = {}) {
    MemoryVolume volume(std::move(image));
    std::atomic<bool> stop{false};
    if (rec.stopAfterFirstRow) return RunScan(volume, rec, *rec.stopAfterFirstRow, options);
    return RunScan(volume, rec, stop, options);
}

Bytes Deleted(const VolumeBuilder& v, std::uint32_t n, std::u16string name, std::size_t size = 5) {
    Bytes content(size, 'x');
    return v.NewRecord(n)
        .StandardInformation(132223104000000000ull, 132223104000000001ull)
        .FileName(name)
        .ResidentData(content)
        .Build();
}

TEST(Setup, LabelsInOrderAndTheirTexts) {
    VolumeBuilder v;
    v.Serial(0xABCD).Label(u"Data").RecordCount(256).MftCluster(4);
    Recorder rec;
    auto s = Scan(v.Build(), rec);
    ASSERT_EQ(s.setup.stop, SetupStop::None) << s.setup.reason;
    ASSERT_EQ(rec.labels.size(), 6u);
    EXPECT_EQ(rec.labels[0].second, "名称: Data");
    EXPECT_EQ(rec.labels[1].second, "序号: 0000ABCD");
    EXPECT_EQ(rec.labels[2].first, DriveLabel::Size);
    EXPECT_EQ(rec.labels[3].second, "MFT位置 : 0x4000");
    EXPECT_EQ(rec.labels[4].second, "MFT大小 : 262144 字节");
    EXPECT_EQ(rec.labels[5].second, "文件数 : 256");
    EXPECT_EQ(rec.walkStart, 256);
    EXPECT_EQ(s.recordsWalked, 240);
}

TEST(Setup, StopsAndWhatEachLeavesBehind) {
    {
        VolumeBuilder v;
        v.Oem("ntfs");
        Recorder rec;
        auto s = Scan(v.Build(), rec);
        EXPECT_EQ(s.setup.stop, SetupStop::NotNtfs);
        EXPECT_EQ(rec.labels.size(), 2u);  // name and serial only
        EXPECT_FALSE(rec.geometry);
    }
    {
        VolumeBuilder v;
        Bytes junk(1024, 0x5A);
        v.Record(0, junk);
        Recorder rec;
        auto s = Scan(v.Build(), rec);
        // No mirror to fall back on: the MFT is walked as one run from its position.
        EXPECT_EQ(s.setup.stop, SetupStop::None);
        EXPECT_EQ(s.setup.layout, LayoutSource::Contiguous);
        EXPECT_EQ(rec.labels.size(), 6u);
        EXPECT_TRUE(rec.geometry);
    }
    for (std::uint16_t flags : {0x0001, 0x4000, 0x8000}) {
        VolumeBuilder v;
        v.MftDataFlags(flags);
        Recorder rec;
        EXPECT_EQ(Scan(v.Build(), rec).setup.stop, SetupStop::MftFlags) << flags;
        EXPECT_EQ(rec.labels.size(), 4u);
    }
    {
        VolumeBuilder v;  // a combination of the bits goes on
        v.MftDataFlags(0x8001);
        Recorder rec;
        EXPECT_EQ(Scan(v.Build(), rec).setup.stop, SetupStop::None);
    }
    {
        Bytes image = VolumeBuilder().Build();
        image[11] = image[12] = 0;  // bytes per sector
        Recorder rec;
        EXPECT_EQ(Scan(image, rec).setup.stop, SetupStop::BadGeometry);
        EXPECT_FALSE(rec.geometry);
    }
}

TEST(Setup, SixtyFourKiBClusters) {
    VolumeBuilder v;
    v.SectorsPerClusterByte(0x80).MftCluster(2).RecordCount(128);
    v.Record(20, Deleted(v, 20, u"big.bin"));
    Recorder rec;
    auto s = Scan(v.Build(), rec);
    ASSERT_TRUE(s.setup.info) << s.setup.reason;
    EXPECT_EQ(s.setup.info->geometry.ClusterSize, 65536u);
    EXPECT_EQ(s.setup.info->MftRecordCount, 128);
    EXPECT_EQ(rec.Records(), std::vector<std::uint64_t>{20});
}

TEST(Scan, OnlyDeletedFilesWithAllThreeAttributes) {
    VolumeBuilder v;
    v.RecordCount(64);
    v.Record(3, Deleted(v, 3, u"system.txt"));  // below 16: never examined
    v.Record(16, Deleted(v, 16, u"a.txt"));
    v.Record(17, v.NewRecord(17)
                     .Flags(1)
                     .StandardInformation(1, 2)
                     .FileName(u"inuse")
                     .ResidentData(Bytes{1})
                     .Build());
    v.Record(18, v.NewRecord(18)
                     .Flags(2)
                     .StandardInformation(1, 2)
                     .FileName(u"dir")
                     .ResidentData(Bytes{1})
                     .Build());
    v.Record(19, v.NewRecord(19).StandardInformation(1, 2).FileName(u"nodata").Build());
    v.Record(20, v.NewRecord(20).FileName(u"nosi").ResidentData(Bytes{1}).Build());
    v.Record(21, v.NewRecord(21)
                     .StandardInformation(1, 2)
                     .FileName(u"DOSNAM~1", 2)
                     .ResidentData(Bytes{1})
                     .Build());
    v.Record(22, v.NewRecord(22)
                     .StandardInformation(1, 2)
                     .FileName(u"LONGNA~1", 2)
                     .FileName(u"long name.doc", 1)
                     .ResidentData(Bytes{1})
                     .Build());
    v.Record(
        23,
        v.NewRecord(23).StandardInformation(1, 2).FileName(u"", 1).ResidentData(Bytes{}).Build());
    v.Record(24, v.NewRecord(24)
                     .Flags(2)
                     .StandardInformation(1, 2)
                     .FileName(u"x")
                     .ResidentData(Bytes{1})
                     .MismatchSector(2)
                     .Build());
    Recorder rec;
    Scan(v.Build(), rec);
    ASSERT_EQ(rec.Records(), (std::vector<std::uint64_t>{16, 22, 23}));
    EXPECT_EQ(rec.rows[0].name, u"a.txt");
    EXPECT_EQ(rec.rows[0].size, 5u);
    EXPECT_EQ(rec.rows[0].created, 132223104000000000ull);
    EXPECT_EQ(rec.rows[0].modified, 132223104000000001ull);
    EXPECT_EQ(rec.rows[0].position, v.RecordOffset(16));
    EXPECT_EQ(rec.rows[1].name, u"long name.doc");
    EXPECT_EQ(rec.rows[2].name, u"");
    EXPECT_EQ(rec.rows[2].size, 0u);
}

TEST(Scan, NonResidentSizeIsTheDataSize) {
    VolumeBuilder v;
    auto runs = test::RunListBuilder().Run(2, 200).Build();
    v.Record(16, v.NewRecord(16)
                     .StandardInformation(1, 2)
                     .FileName(u"big")
                     .NonResidentData(runs, 0x1'0000'0001ull, 0x1'0000'0001ull, 0, 1)
                     .Build());
    Recorder rec;
    Scan(v.Build(), rec);
    ASSERT_EQ(rec.rows.size(), 1u);
    EXPECT_EQ(rec.rows[0].size, 0x1'0000'0001ull);
}

TEST(Scan, FragmentedMftIsFollowed) {
    // Three fragments, with deleted files in each; the second lies before the first.
    VolumeBuilder v;
    v.MftCluster(40).MftRuns({{40, 8}, {10, 8}, {90, 16}});  // 4 KiB clusters, 1 KiB records
    v.Record(20, Deleted(v, 20, u"one"));
    v.Record(40, Deleted(v, 40, u"two"));
    v.Record(100, Deleted(v, 100, u"three"));
    Recorder rec;
    auto s = Scan(v.Build(), rec);
    ASSERT_TRUE(s.setup.info) << s.setup.reason;
    EXPECT_EQ(s.setup.info->MftRecordCount, 128);
    EXPECT_EQ(rec.Records(), (std::vector<std::uint64_t>{20, 40, 100}));
    EXPECT_EQ(rec.rows[1].position, v.RecordOffset(40));
    EXPECT_EQ(rec.rows[1].position, 10u * 4096 + 8 * 1024);
}

TEST(Scan, MftExtentsInAnExtensionRecord) {
    VolumeBuilder v;
    v.MftCluster(40).MftRuns({{40, 8}, {10, 8}, {90, 16}}).MftExtentInRecord(1, 15);
    v.Record(100, Deleted(v, 100, u"far"));
    Recorder rec;
    auto s = Scan(v.Build(), rec);
    ASSERT_TRUE(s.setup.info) << s.setup.reason;
    EXPECT_EQ(s.setup.info->MftRecordCount, 128);
    EXPECT_EQ(rec.Records(), std::vector<std::uint64_t>{100});
}

TEST(Scan, RecordStraddlingTwoFragments) {
    // 512-byte clusters, 1 KiB records: record 17 has one half in each fragment.
    VolumeBuilder v;
    v.SectorsPerClusterByte(1).ClustersPerRecord(2).MftCluster(100).MftRuns({{100, 35}, {300, 29}});
    v.Record(17, Deleted(v, 17, u"split.txt"));
    Recorder rec;
    Scan(v.Build(), rec);
    EXPECT_EQ(rec.Records(), std::vector<std::uint64_t>{17});
}

// Everything a row carries, for comparing walks.
using RowKey = std::tuple<std::uint64_t, std::uint64_t, std::u16string, std::uint64_t,
                          std::uint64_t, std::uint64_t>;
std::vector<RowKey> Keys(const Recorder& rec) {
    std::vector<RowKey> keys;
    for (const ScanRow& r : rec.rows)
        keys.emplace_back(r.record, r.position, r.name, r.size, r.created, r.modified);
    return keys;
}

TEST(Scan, ChunkedAndRecordAtATimeWalksAgree) {
    // 512-byte clusters: records straddle the fragment ends, and chunks end
    // inside fragments and inside records' neighbours alike.
    VolumeBuilder v;
    v.SectorsPerClusterByte(1).ClustersPerRecord(2).MftCluster(300).MftRuns(
        {{300, 41}, {100, 33}, {500, 182}});
    for (std::uint32_t n = 16; n < 128; n += 3)
        v.Record(n,
                 Deleted(v, n, u"f" + std::u16string(1 + n % 9, char16_t('a' + n % 26)), n % 200));
    v.Record(41, v.NewRecord(41)
                     .Flags(1)
                     .StandardInformation(1, 2)
                     .FileName(u"live")
                     .ResidentData(Bytes{1})
                     .Build());
    Bytes image = v.Build();
    Recorder one;
    ScanOptions single;
    single.chunkBytes = 0;
    Scan(image, one, single);
    ASSERT_EQ(one.rows.size(), 38u);
    EXPECT_EQ(one.rows[1].position, v.RecordOffset(19));
    for (auto ahead : {ScanOptions::ReadAhead::Always, ScanOptions::ReadAhead::Never})
        for (std::uint32_t chunk : {1024u, 3072u, 8192u, 1u << 20}) {
            Recorder rec;
            ScanOptions o;
            o.chunkBytes = chunk;
            o.readAhead = ahead;
            Scan(image, rec, o);
            EXPECT_EQ(Keys(rec), Keys(one))
                << chunk << " read ahead " << (ahead == ScanOptions::ReadAhead::Always);
        }
}

TEST(Scan, FailedChunkReadCostsOnlyTheRecordsOfTheBadSector) {
    VolumeBuilder v;
    v.MftCluster(40).MftRuns({{40, 8}, {10, 9}, {90, 15}});
    for (std::uint32_t n = 16; n < 128; n += 4) v.Record(n, Deleted(v, n, u"f.txt"));
    const std::uint64_t bad = v.RecordOffset(52) + 512;  // the second sector of record 52
    for (bool whole : {true, false})
        for (auto ahead : {ScanOptions::ReadAhead::Always, ScanOptions::ReadAhead::Never}) {
            testing::FaultyVolume volume(v.Build());
            if (whole)
                volume.FailRange(bad, bad + 512);  // the chunk's read delivers nothing
            else
                volume.ShortRange(bad, bad + 512);  // it stops at the bad sector
            Recorder rec;
            std::atomic<bool> stop{false};
            ScanOptions o;
            o.chunkBytes = 8192;  // several chunks, so that the next is read ahead
            o.readAhead = ahead;
            auto s = RunScan(volume, rec, stop, o);
            ASSERT_TRUE(s.setup.info) << s.setup.reason;
            EXPECT_EQ(s.unreadable, 1) << whole;
            std::vector<std::uint64_t> want;
            for (std::uint64_t n = 16; n < 128; n += 4)
                if (n != 52) want.push_back(n);
            EXPECT_EQ(rec.Records(), want) << whole;
        }
}

TEST(Scan, StopKeepsTheRowsFound) {
    VolumeBuilder v;
    v.Record(16, Deleted(v, 16, u"a")).Record(30, Deleted(v, 30, u"b"));
    std::atomic<bool> stop{false};
    Recorder rec;
    rec.stopAfterFirstRow = &stop;
    auto s = Scan(v.Build(), rec);
    EXPECT_TRUE(s.stopped);
    EXPECT_EQ(rec.Records(), std::vector<std::uint64_t>{16});
    EXPECT_EQ(s.recordsWalked, 1);

    // With chunks of two records the next chunk is being read ahead when the
    // stop comes: the walk still ends there and the reader is joined.
    VolumeBuilder many;
    for (std::uint32_t n = 16; n < 64; ++n) many.Record(n, Deleted(many, n, u"f"));
    stop = false;
    Recorder again;
    again.stopAfterFirstRow = &stop;
    ScanOptions o;
    o.chunkBytes = 2048;
    o.readAhead = ScanOptions::ReadAhead::Always;
    s = Scan(many.Build(), again, o);
    EXPECT_TRUE(s.stopped);
    EXPECT_EQ(again.Records(), std::vector<std::uint64_t>{16});
}

TEST(Scan, SmallMftsWalkNothing) {
    for (std::uint64_t count : {16u, 17u}) {
        VolumeBuilder v;
        v.RecordCount(count).SectorsPerClusterByte(2);  // 1 KiB clusters, one record each
        Recorder rec;
        auto s = Scan(v.Build(), rec);
        ASSERT_TRUE(s.setup.info) << s.setup.reason;
        EXPECT_EQ(s.recordsWalked, static_cast<std::int64_t>(count) - 16);
    }
}

TEST(Scan, ImageCutShortInTheMft) {
    VolumeBuilder v;
    v.RecordCount(256).MftCluster(4);
    v.Record(20, Deleted(v, 20, u"kept"));
    v.Record(200, Deleted(v, 200, u"lost"));
    Bytes image = v.Build();
    image.resize(v.RecordOffset(100));
    Recorder rec;
    auto s = Scan(image, rec);
    ASSERT_TRUE(s.setup.info);
    EXPECT_EQ(rec.Records(), std::vector<std::uint64_t>{20});
    // The walk goes as far as the image could hold records; those past its end
    // are counted, not silently dropped.
    EXPECT_EQ(s.setup.info->MftRecordCount, static_cast<std::int64_t>(image.size() / 1024));
    EXPECT_EQ(s.unreadable, s.setup.info->MftRecordCount - 100);
}

TEST(Scan, FragmentBeyondTheImageEndDoesNotHideLaterOnes) {
    // The middle fragment lies past the end of the image; the third is intact.
    VolumeBuilder v;
    v.MftCluster(4).MftRuns({{4, 8}, {400, 4}, {20, 4}}).TotalClusters(64);
    v.Record(50, Deleted(v, 50, u"after.txt"));
    Recorder rec;
    auto s = Scan(v.Build(), rec);
    ASSERT_TRUE(s.setup.info) << s.setup.reason;
    EXPECT_EQ(rec.Records(), std::vector<std::uint64_t>{50});
    EXPECT_EQ(s.unreadable, 16);
}

TEST(Texts, PositionAndExtension) {
    EXPECT_EQ(PositionText(0xC0004000), "0xC0004000");
    EXPECT_EQ(PositionText(0x1771B0000), "0x1771B0000");
    EXPECT_EQ(PositionText(5), "0x05");
    EXPECT_EQ(ExtensionOf("report.final.doc"), ".doc");
    EXPECT_EQ(ExtensionOf("README"), "");
    EXPECT_EQ(ExtensionOf(".profile"), ".profile");
    EXPECT_EQ(ExtensionOf("archive.tar.gz"), ".gz");
    EXPECT_EQ(ExtensionOf("a.b\\c"), "");
    EXPECT_EQ(ExtensionOf("a.b:c"), "");
    EXPECT_EQ(ExtensionOf("../../p"), "");  // a point in a path part names no type
    EXPECT_EQ(ExtensionOf("../x.gz"), ".gz");
    // A trail byte that looks like '\' does not hide the point before it.
    auto gbkLead = [](unsigned char c) { return c >= 0x81 && c <= 0xFE; };
    EXPECT_EQ(ExtensionOf("x.t\x95\\", +gbkLead), ".t\x95\\");
    EXPECT_EQ(ExtensionOf("x.t\x95\\"), "");
}

}  // namespace
}  // namespace qm
