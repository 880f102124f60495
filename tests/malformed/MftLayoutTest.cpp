// The MFT's own layout when it lies: an $ATTRIBUTE_LIST in record 0 that names
// record 0 itself, a record that only it maps, extension records that do not
// exist or belong elsewhere; and images that end inside the MFT.
#include <gtest/gtest.h>

#include "tests/malformed/Corpus.h"

namespace qm::malformed {
namespace {

constexpr std::uint64_t kTime = 132223104000000000ull;

std::uint64_t Ref(std::uint64_t record) {
    return record | (std::uint64_t{1} << 48);
}

// One $ATTRIBUTE_LIST entry: type, length 32, starting VCN, the record holding it.
Bytes Entry(std::uint32_t type, std::uint64_t startVcn, std::uint64_t ref) {
    Bytes e(32, 0);
    test::PutLe(e, 0, type, 4);
    test::PutLe(e, 4, 32, 2);
    test::PutLe(e, 7, 26, 1);
    test::PutLe(e, 8, startVcn, 8);
    test::PutLe(e, 16, ref, 8);
    return e;
}

// Record 0 mapping only the MFT's first fragment, with the given list entries
// for the rest.
Bytes Record0(const VolumeBuilder& v, const std::vector<Bytes>& entries) {
    Bytes list;
    for (const Bytes& e : entries) list.insert(list.end(), e.begin(), e.end());
    const auto runs = v.Runs();
    std::uint64_t clusters = 0;
    for (const auto& r : runs) clusters += r.clusters;
    const std::uint64_t mftBytes = clusters * v.ClusterSize();
    test::NonResidentSpec data;
    data.runList = v.MftRunList(0, 1);
    data.dataSize = data.initializedSize = mftBytes;
    data.allocatedSize = mftBytes;
    data.lastVcn = runs[0].clusters - 1;
    return v.NewRecord(0)
        .Flags(1)
        .StandardInformation(kTime, kTime)
        .ResidentAttribute(0x20, list)
        .FileName(u"$MFT", 3, test::kRootReference, mftBytes)
        .NonResidentAttribute(0x80, data)
        .Build();
}

// An extension record of `base` holding a $DATA piece from `startVcn` on.
Bytes Extension(const VolumeBuilder& v, std::uint32_t n, std::uint64_t base, Bytes runs,
                std::uint64_t startVcn, std::uint64_t lastVcn) {
    test::NonResidentSpec data;
    data.runList = std::move(runs);
    data.startVcn = startVcn;
    data.lastVcn = lastVcn;
    return v.NewRecord(n).Flags(1).BaseReference(base).NonResidentAttribute(0x80, data).Build();
}

// Records 0..31 in the first fragment, 32..63 in the second: good files 16 and
// 31 in the first, 63 in the second, which record 15 maps.
Corpus TwoFragments() {
    Corpus c;
    c.volume().MftRuns({{4, 8}, {100, 8}}).MftExtentInRecord(1, 15);
    return c;
}

TEST(MftAttributeList, ListsThatLeadNowhere) {
    const std::vector<Bytes> head = {Entry(0x10, 0, Ref(0)), Entry(0x30, 0, Ref(0)),
                                     Entry(0x80, 0, Ref(0))};
    auto with = [&](std::initializer_list<Bytes> more) {
        std::vector<Bytes> all = head;
        all.insert(all.end(), more);
        return all;
    };
    struct Case {
        const char* what;
        Corpus corpus;
        bool secondFragmentFound;
    };
    std::vector<Case> cases;
    {
        Corpus c = TwoFragments();
        c.Put(0, Record0(c.volume(), with({Entry(0x80, 8, Ref(0))})));
        cases.push_back({"names record 0 itself", c, false});
    }
    {
        Corpus c = TwoFragments();  // record 40 lies in the fragment only it maps
        c.Put(0, Record0(c.volume(), with({Entry(0x80, 8, Ref(40))})));
        c.Put(40, Extension(c.volume(), 40, Ref(0), c.volume().MftRunList(1), 8, 15));
        cases.push_back({"names a record that only it maps", c, false});
    }
    {
        Corpus c = TwoFragments();
        c.Put(15, Extension(c.volume(), 15, Ref(0), RunListBuilder().Run(8, 100).Build(), 0, 7));
        cases.push_back({"maps the MFT's start a second time", c, false});
    }
    {
        Corpus c = TwoFragments();
        c.Put(15, Extension(c.volume(), 15, Ref(7), c.volume().MftRunList(1), 8, 15));
        cases.push_back({"extension record of another file", c, false});
    }
    {
        Corpus c = TwoFragments();
        c.Put(0, Record0(c.volume(), with({Entry(0x80, 8, Ref(64)), Entry(0x80, 8, Ref(1000)),
                                           Entry(0x80, 8, Ref(std::uint64_t{1} << 40)),
                                           Entry(0x80, 8, Ref((std::uint64_t{1} << 48) - 1)),
                                           Entry(0x80, 8, Ref(15)), Entry(0x80, 8, Ref(15)),
                                           Entry(0x80, 8, Ref(0))})));
        cases.push_back({"names records past the MFT's end, and the true one twice", c, true});
    }
    for (Case& k : cases) {
        SCOPED_TRACE(k.what);
        const Outcome o = k.corpus.Run();
        ASSERT_TRUE(o.scan.setup.info) << o.scan.setup.reason;
        EXPECT_TRUE(o.imageUnchanged);
        EXPECT_TRUE(o.strays.empty());
        EXPECT_TRUE(o.Recovered(16, test::BytesOf("the first good file")));
        EXPECT_TRUE(o.Row(31) && o.recovered.at(31).status == RecoverStatus::Written);
        if (k.secondFragmentFound) {
            EXPECT_TRUE(k.corpus.GoodFilesIntact(o));
        } else {
            EXPECT_FALSE(o.Row(63));
            EXPECT_LE(o.scan.setup.info->MftRecordCount, 64);
        }
    }
}

// A volume whose record 0 names `extensions` extension records (16 on) in a
// non-resident attribute list, each holding `runs` one-cluster runs of the
// MFT's $DATA after the first fragment.
Bytes ManyExtensions(std::uint32_t extensions, std::uint32_t runs) {
    VolumeBuilder v;
    v.MftCluster(4).RecordCount(extensions + 32);
    const std::uint64_t mftClusters = (extensions + 32) / 4;
    Bytes list;
    auto add = [&](const Bytes& e) { list.insert(list.end(), e.begin(), e.end()); };
    add(Entry(0x80, 0, Ref(0)));
    for (std::uint32_t i = 0; i < extensions; ++i)
        add(Entry(0x80, mftClusters + i * runs, Ref(16 + i)));
    const std::uint64_t listCluster = 4 + mftClusters;
    v.Data(listCluster, list);
    test::NonResidentSpec al, data;
    al.runList = RunListBuilder().Run((list.size() + 4095) / 4096, listCluster).Build();
    al.dataSize = al.initializedSize = list.size();
    data.runList = v.MftRunList();
    data.dataSize = data.initializedSize = mftClusters * 4096;
    data.lastVcn = mftClusters - 1;
    v.Record(0, v.NewRecord(0)
                    .Flags(1)
                    .StandardInformation(kTime, kTime)
                    .NonResidentAttribute(0x20, al)
                    .FileName(u"$MFT", 3)
                    .NonResidentAttribute(0x80, data)
                    .Build());
    for (std::uint32_t i = 0; i < extensions; ++i) {
        RunListBuilder holes;
        for (std::uint32_t k = 0; k < runs; ++k) holes.Sparse(1);
        v.Record(16 + i, Extension(v, 16 + i, Ref(0), holes.Build(), mftClusters + i * runs,
                                   mftClusters + (i + 1) * runs - 1));
    }
    return v.Build();
}

TEST(MftAttributeList, ManyExtensionRecordsAreFollowed) {
    // 384 extension records of 400 runs each: followed whole, with the map
    // built once rather than once per record.
    MemoryVolume volume(ManyExtensions(384, 400));
    const SetupResult r = SetupVolume(volume);
    ASSERT_TRUE(r.info) << r.reason;
    EXPECT_EQ(r.info->map.extents().size(), 1u + 384 * 400);
}

TEST(MftLayout, ImageCutShortInTheMft) {
    Corpus c;
    const Bytes early = test::BytesOf("before the cut");
    c.Put(20, c.File(20, u"early.txt").ResidentData(early));
    const Bytes full = c.volume().Build();
    const std::uint64_t mft = c.volume().RecordOffset(0);
    // At a cluster's end, and inside the cluster after it (whose records are all cut).
    for (std::uint64_t cut : {c.volume().RecordOffset(40), c.volume().RecordOffset(40) + 300}) {
        SCOPED_TRACE(cut);
        const Outcome o =
            c.Run(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut)));
        ASSERT_TRUE(o.scan.setup.info) << o.scan.setup.reason;
        EXPECT_TRUE(o.imageUnchanged);
        EXPECT_TRUE(o.Recovered(16, test::BytesOf("the first good file")));
        EXPECT_TRUE(o.Recovered(20, early));
        EXPECT_FALSE(o.Row(63));
        // Record 31's clusters lie past the cut: lost, written as zeros.
        EXPECT_TRUE(o.Recovered(31, Bytes(4096 + 1000, 0), {{0, 4096 + 1000}}));
        const std::int64_t whole = static_cast<std::int64_t>((cut - mft) / 1024);
        EXPECT_LE(o.scan.setup.info->MftRecordCount * 1024, static_cast<std::int64_t>(cut));
        EXPECT_EQ(o.scan.unreadable, o.scan.setup.info->MftRecordCount - whole);
    }
    // Cut inside record 0: the set-up stops on a read error, nothing is listed or written.
    const Outcome o =
        c.Run(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(mft + 500)));
    EXPECT_EQ(o.scan.setup.stop, SetupStop::Unreadable);
    EXPECT_NE(o.scan.setup.reason.find("cannot be read"), std::string::npos) << o.scan.setup.reason;
    EXPECT_TRUE(o.rows.empty() && o.files.empty() && o.imageUnchanged);
}

// Records that the image holds whole, in a cluster it holds only in part, are
// listed and recovered. (4 KiB clusters, 1 KiB records:
// a cut 2 bytes before record 32 loses records 28 to 30.)
TEST(MftLayout, RecordsWholeBeforeACutInsideTheirClusterAreListed) {
    Corpus c;
    const Bytes early = test::BytesOf("whole, before the cut");
    c.Put(29, c.File(29, u"early.txt").ResidentData(early));
    const Bytes full = c.volume().Build();
    const std::uint64_t cut = c.volume().RecordOffset(32) - 2;
    const Outcome o = c.Run(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut)));
    ASSERT_TRUE(o.scan.setup.info);
    EXPECT_TRUE(o.imageUnchanged);
    EXPECT_TRUE(o.Recovered(29, early));
    EXPECT_EQ(o.scan.unreadable, o.scan.setup.info->MftRecordCount - 31);
}

// A record that lies half in one MFT fragment and half in the next is listed
// and recovered: the recovery reads it along the MFT's runs too. (512-byte clusters, 1 KiB
// records.)
TEST(MftLayout, RecordSplitOverTwoFragmentsIsRecovered) {
    Corpus runner;
    VolumeBuilder v;
    v.SectorsPerClusterByte(1).ClustersPerRecord(2).MftCluster(100).MftRuns({{100, 35}, {300, 29}});
    const Bytes content = test::BytesOf("split across two fragments");
    v.Record(17, v.NewRecord(17)
                     .StandardInformation(kTime, kTime)
                     .FileName(u"split.txt")
                     .ResidentData(content)
                     .Build());
    const Outcome o = runner.Run(v.Build());
    EXPECT_TRUE(o.imageUnchanged);
    EXPECT_TRUE(o.Recovered(17, content));
}

}  // namespace
}  // namespace qm::malformed
