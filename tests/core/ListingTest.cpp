// What the walk lists beyond the seed's rows: folder paths and orphans, deleted
// folders and streams, recoverability against $Bitmap, content flags, and files
// whose name and data lie in extension records. Volumes built in memory.
#include <gtest/gtest.h>

#include <map>

#include "platform/RawVolume.h"
#include "scan/ScanEngine.h"
#include "tests/support/VolumeBuilder.h"

namespace qm {
namespace {

using test::Bytes;
using test::kRootReference;
using test::PutLe;
using test::RunListBuilder;
using test::VolumeBuilder;

constexpr std::uint64_t kTime = 132223104000000000ull;

std::uint64_t Ref(std::uint64_t record, std::uint16_t sequence) {
    return record | (std::uint64_t{sequence} << 48);
}

struct Collector : ScanObserver {
    std::vector<ScanRow> rows;
    void OnRow(ScanRow&& row) override { rows.push_back(std::move(row)); }
};

struct Listed {
    ScanSummary summary;
    std::vector<ScanRow> rows;
    // Full path of each row by record (the file's row when a record has several).
    std::map<std::uint64_t, std::u16string> paths;
    std::map<std::uint64_t, bool> orphans;
    const ScanRow* Row(std::uint64_t record, RowKind kind = RowKind::File) const {
        for (const ScanRow& r : rows)
            if (r.record == record && r.kind == kind) return &r;
        return nullptr;
    }
};

Listed List(const VolumeBuilder& v, bool foldersAndStreams = true) {
    MemoryVolume volume(v.Build());
    Collector c;
    std::atomic<bool> stop{false};
    ScanOptions options;
    options.foldersAndStreams = foldersAndStreams;
    Listed l;
    l.summary = RunScan(volume, c, stop, options);
    l.rows = std::move(c.rows);
    for (const ScanRow& r : l.rows) {
        if (r.kind == RowKind::Stream) continue;
        const FolderPath folder = RowFolder(l.summary, r);
        l.paths[r.record] = RowPath(folder, r);
        l.orphans[r.record] = folder.orphan;
    }
    return l;
}

Bytes Folder(const VolumeBuilder& v, std::uint32_t n, std::u16string name, std::uint64_t parent,
             std::uint16_t sequence, bool inUse) {
    return v.NewRecord(n)
        .Flags(inUse ? 3 : 2)
        .SequenceNumber(sequence)
        .StandardInformation(kTime, kTime)
        .FileName(name, 1, parent)
        .Build();
}

Bytes File(const VolumeBuilder& v, std::uint32_t n, std::u16string name, std::uint64_t parent) {
    return v.NewRecord(n)
        .SequenceNumber(2)
        .StandardInformation(kTime, kTime)
        .FileName(name, 1, parent)
        .ResidentData(Bytes(3, 'x'))
        .Build();
}

TEST(Paths, FoldersInUseDeletedReusedMissingLoopedAndLater) {
    VolumeBuilder v;
    v.RecordCount(64);
    v.Record(20, Folder(v, 20, u"A", kRootReference, 1, true));
    v.Record(21, Folder(v, 21, u"B", Ref(20, 1), 3, false));  // freed: 2 became 3
    v.Record(22, File(v, 22, u"f1", Ref(20, 1)));
    v.Record(23, File(v, 23, u"f2", Ref(21, 2)));
    v.Record(24, File(v, 24, u"reused", Ref(25, 1)));
    v.Record(25, Folder(v, 25, u"Other", kRootReference, 2, true));  // in use again, as 2
    v.Record(26, File(v, 26, u"missing", Ref(40, 1)));
    v.Record(27, File(v, 27, u"under-a-file", Ref(22, 1)));
    v.Record(28, Folder(v, 28, u"L1", Ref(29, 1), 2, false));
    v.Record(29, Folder(v, 29, u"L2", Ref(28, 1), 2, false));
    v.Record(30, File(v, 30, u"looped", Ref(28, 1)));
    v.Record(31, File(v, 31, u"early", Ref(50, 1)));
    v.Record(32, v.NewRecord(32)
                     .StandardInformation(kTime, kTime)
                     .FileName(u"LONGNA~1.TXT", 2, Ref(33, 1))
                     .FileName(u"long name.txt", 1, Ref(33, 1))
                     .ResidentData(Bytes(1, 'x'))
                     .Build());
    v.Record(33, v.NewRecord(33)
                     .Flags(3)
                     .StandardInformation(kTime, kTime)
                     .FileName(u"VERYLO~1", 2, Ref(20, 1))
                     .FileName(u"Very long folder", 1, Ref(20, 1))
                     .Build());
    v.Record(35, Folder(v, 35, u"Twice", kRootReference, 4, false));  // reused and freed again
    v.Record(36, File(v, 36, u"stale", Ref(35, 2)));
    v.Record(50, Folder(v, 50, u"Late", kRootReference, 1, true));
    const Listed l = List(v);

    const std::map<std::uint64_t, std::u16string> want = {
        {21, u"/A/B"},
        {22, u"/A/f1"},
        {23, u"/A/B/f2"},
        {24, u"$Orphan/reused"},
        {26, u"$Orphan/missing"},
        {27, u"$Orphan/under-a-file"},
        {28, u"$Orphan/L2/L1"},
        {29, u"$Orphan/L2"},
        {30, u"$Orphan/L2/L1/looped"},
        {31, u"/Late/early"},
        {32, u"/A/Very long folder/long name.txt"},
        {35, u"/Twice"},
        {36, u"$Orphan/stale"},
    };
    EXPECT_EQ(l.paths, want);
    for (const auto& [record, path] : want)
        EXPECT_EQ(l.orphans.at(record), path.rfind(u"$Orphan", 0) == 0) << record;
    // Folders in use are no rows; deleted ones are, without a size.
    EXPECT_FALSE(l.Row(20, RowKind::Folder));
    ASSERT_TRUE(l.Row(21, RowKind::Folder));
    EXPECT_EQ(l.Row(21, RowKind::Folder)->name, u"B");
}

TEST(Paths, FoldersAndStreamsStayOutUnlessAskedFor) {
    VolumeBuilder v;
    v.Record(20, Folder(v, 20, u"gone", kRootReference, 2, false));
    v.Record(21, v.NewRecord(21)
                     .StandardInformation(kTime, kTime)
                     .FileName(u"with_ads.txt", 1, Ref(20, 1))
                     .ResidentData(Bytes(4, 'a'))
                     .ResidentData(Bytes(9, 's'), u"secret")
                     .ResidentData(Bytes(2, 'z'), u"Zone.Identifier")
                     .Build());
    const Listed plain = List(v, false);
    ASSERT_EQ(plain.rows.size(), 1u);
    EXPECT_EQ(plain.rows[0].kind, RowKind::File);
    EXPECT_EQ(plain.rows[0].size, 4u);
    EXPECT_EQ(plain.paths.at(21), u"/gone/with_ads.txt");

    const Listed all = List(v, true);
    ASSERT_EQ(all.rows.size(), 4u);
    EXPECT_EQ(all.rows[0].kind, RowKind::Folder);
    EXPECT_EQ(all.rows[1].kind, RowKind::File);
    const ScanRow& secret = all.rows[2];
    EXPECT_EQ(secret.kind, RowKind::Stream);
    EXPECT_EQ(secret.stream, u"secret");
    EXPECT_EQ(secret.size, 9u);
    EXPECT_EQ(secret.position, all.rows[1].position);
    EXPECT_EQ(RowPath(RowFolder(all.summary, secret), secret), u"/gone/with_ads.txt:secret");
    EXPECT_EQ(all.rows[3].stream, u"Zone.Identifier");
}

// A volume of 256 clusters whose $Bitmap marks `allocated` (and the MFT's clusters).
VolumeBuilder BitmapVolume(const std::vector<std::uint64_t>& allocated) {
    VolumeBuilder v;
    v.TotalClusters(256);
    Bytes bits(32, 0);
    for (std::uint64_t c = 0; c < 20; ++c) bits[c / 8] |= std::uint8_t(1u << (c % 8));
    for (std::uint64_t c : allocated) bits[c / 8] |= std::uint8_t(1u << (c % 8));
    v.Record(6, v.NewRecord(6)
                    .Flags(1)
                    .SequenceNumber(6)
                    .StandardInformation(kTime, kTime)
                    .FileName(u"$Bitmap", 3)
                    .ResidentData(bits)
                    .Build());
    return v;
}

Bytes NonResidentFile(const VolumeBuilder& v, std::uint32_t n, Bytes runs,
                      std::uint16_t flags = 0) {
    auto b = v.NewRecord(n).StandardInformation(kTime, kTime).FileName(u"f.bin");
    test::NonResidentSpec spec;
    spec.runList = std::move(runs);
    spec.dataSize = spec.initializedSize = 4096;
    spec.flags = flags;
    return b.NonResidentAttribute(0x80, spec).Build();
}

TEST(Recoverable, ShareOfTheClustersStillFreeAndTheFlags) {
    struct Case {
        const char* what;
        Bytes runs;
        std::uint16_t flags;
        std::uint8_t recoverable;
        std::uint8_t rowFlags;
    };
    const std::vector<Case> cases = {
        {"all free", RunListBuilder().Run(4, 100).Build(), 0, 100, 0},
        {"one of four taken", RunListBuilder().Run(4, 110).Build(), 0, 75, 0},
        {"sparse runs do not count", RunListBuilder().Sparse(10).Run(2, 120).Build(), 0x8000, 50,
         kRowSparse},
        {"clusters past the volume count as taken", RunListBuilder().Run(10, 250).Build(), 0, 60,
         0},
        {"two runs, all taken", RunListBuilder().Run(1, 130).Run(1, 140).Build(), 0x0001, 0,
         kRowCompressed},
        {"only sparse", RunListBuilder().Sparse(8).Build(), 0x4000, 100, kRowEncrypted},
        {"a run list that does not decode", Bytes{0x19}, 0, kRecoverableUnknown, 0},
    };
    VolumeBuilder v = BitmapVolume({111, 120, 130, 140});
    for (std::size_t i = 0; i < cases.size(); ++i)
        v.Record(20 + i, NonResidentFile(v, static_cast<std::uint32_t>(20 + i), cases[i].runs,
                                         cases[i].flags));
    v.Record(40, File(v, 40, u"small.txt", kRootReference));
    const Listed l = List(v);
    ASSERT_TRUE(l.summary.bitmapRead);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const ScanRow* row = l.Row(20 + i);
        ASSERT_TRUE(row) << cases[i].what;
        EXPECT_EQ(int(row->recoverable), int(cases[i].recoverable)) << cases[i].what;
        EXPECT_EQ(int(row->flags), int(cases[i].rowFlags)) << cases[i].what;
    }
    ASSERT_TRUE(l.Row(40));
    EXPECT_EQ(int(l.Row(40)->recoverable), 100);
    EXPECT_EQ(int(l.Row(40)->flags), int(kRowResident));
}

TEST(Recoverable, UnknownWithoutABitmapResidentStillWhole) {
    VolumeBuilder v;  // the default $Bitmap holds no bytes
    v.Record(20, NonResidentFile(v, 20, RunListBuilder().Run(1, 30).Build()));
    v.Record(21, File(v, 21, u"r.txt", kRootReference));
    const Listed l = List(v);
    EXPECT_FALSE(l.summary.bitmapRead);
    EXPECT_EQ(l.Row(20)->recoverable, kRecoverableUnknown);
    EXPECT_EQ(l.Row(21)->recoverable, 100);
}

// An $ATTRIBUTE_LIST value naming where each attribute lies.
Bytes AttributeList(const std::vector<std::pair<std::uint32_t, std::uint64_t>>& entries) {
    Bytes value;
    for (const auto& [type, ref] : entries) {
        Bytes e(32, 0);
        PutLe(e, 0, type, 4);
        PutLe(e, 4, 32, 2);
        PutLe(e, 7, 26, 1);  // name offset
        PutLe(e, 16, ref, 8);
        value.insert(value.end(), e.begin(), e.end());
    }
    return value;
}

struct Spread {
    std::uint32_t base = 40, extension = 41;
    std::uint16_t extensionFlags = 0;     // 1: in use by another file
    std::uint64_t extensionBase = 0;      // default: the base as it was (sequence 2)
    std::uint16_t extensionSequence = 2;  // freed: the list's 1 became 2
};

void AddSpread(VolumeBuilder& v, const Spread& s) {
    v.Record(s.base, v.NewRecord(s.base)
                         .SequenceNumber(3)
                         .StandardInformation(kTime, kTime)
                         .ResidentAttribute(0x20, AttributeList({{0x10, Ref(s.base, 2)},
                                                                 {0x30, Ref(s.extension, 1)},
                                                                 {0x80, Ref(s.extension, 1)}}))
                         .Build());
    test::NonResidentSpec data;
    data.runList = RunListBuilder().Run(2, 100).Build();
    data.dataSize = data.initializedSize = 5000;
    data.lastVcn = 1;
    v.Record(s.extension, v.NewRecord(s.extension)
                              .Flags(s.extensionFlags)
                              .SequenceNumber(s.extensionSequence)
                              .BaseReference(s.extensionBase ? s.extensionBase : Ref(s.base, 2))
                              .FileName(u"spread.bin", 1, kRootReference)
                              .NonResidentAttribute(0x80, data)
                              .Build());
}

TEST(ListedExtensionRecords, NameAndSizeFromThereWhenTheyBelongToTheFile) {
    struct Case {
        const char* what;
        Spread spread;
        bool listed;
    };
    const std::vector<Case> cases = {
        {"after its base", {}, true},
        {"before its base", {45, 44}, true},
        {"in use by another file", {40, 41, 1}, false},
        {"naming another base", {40, 41, 0, Ref(39, 2)}, false},
        {"reused since the list named it", {40, 41, 0, 0, 5}, false},
    };
    for (const Case& c : cases) {
        VolumeBuilder v = BitmapVolume({101});
        AddSpread(v, c.spread);
        const Listed l = List(v, false);
        const ScanRow* row = l.Row(c.spread.base);
        ASSERT_EQ(row != nullptr, c.listed) << c.what;
        EXPECT_EQ(l.rows.size(), c.listed ? 1u : 0u) << c.what;
        if (!row) continue;
        EXPECT_EQ(row->name, u"spread.bin") << c.what;
        EXPECT_EQ(row->size, 5000u) << c.what;
        EXPECT_EQ(row->created, kTime) << c.what;
        EXPECT_EQ(int(row->recoverable), 50) << c.what;
        EXPECT_EQ(l.paths.at(c.spread.base), u"/spread.bin") << c.what;
    }
}

// A driver may clear a freed extension record: the name it held is gone, the
// content in the base record is not. Listed by its record number, as an
// orphan; without a list naming a $FILE_NAME elsewhere, a nameless record
// stays out.
TEST(ListedExtensionRecords, ANameLostWithItsRecordIsTheRecordNumber) {
    for (const bool listNamesIt : {true, false}) {
        VolumeBuilder v = BitmapVolume({});
        std::vector<std::pair<std::uint32_t, std::uint64_t>> list = {{0x10, Ref(40, 2)},
                                                                     {0x80, Ref(40, 2)}};
        if (listNamesIt) list.insert(list.begin() + 1, {0x30, Ref(41, 1)});
        test::NonResidentSpec data;
        data.runList = RunListBuilder().Run(2, 100).Build();
        data.dataSize = data.initializedSize = 5000;
        data.lastVcn = 1;
        v.Record(40, v.NewRecord(40)
                         .SequenceNumber(3)
                         .StandardInformation(kTime, kTime)
                         .ResidentAttribute(0x20, AttributeList(list))
                         .NonResidentAttribute(0x80, data)
                         .Build());
        v.Record(41, v.NewRecord(41).SequenceNumber(2).BaseReference(Ref(40, 2)).Build());
        const Listed l = List(v, false);
        const ScanRow* row = l.Row(40);
        ASSERT_EQ(row != nullptr, listNamesIt);
        if (!row) continue;
        EXPECT_EQ(row->name, u"record-40");
        EXPECT_EQ(row->size, 5000u);
        EXPECT_EQ(l.paths.at(40), u"$Orphan/record-40");
    }
}

TEST(ListedExtensionRecords, FollowTheRowsInRecordOrder) {
    VolumeBuilder v = BitmapVolume({});
    AddSpread(v, {});
    v.Record(50, File(v, 50, u"later.txt", kRootReference));
    const Listed l = List(v, false);
    ASSERT_EQ(l.rows.size(), 2u);
    EXPECT_EQ(l.rows[0].record, 50u);
    EXPECT_EQ(l.rows[1].record, 40u);
    EXPECT_EQ(l.summary.rows, 2);
}

TEST(ListedExtensionRecords, AFolderNamedInOne) {
    struct Case {
        const char* what;
        std::uint64_t extensionBase;
        std::u16string path;
    };
    const std::vector<Case> cases = {
        {"its own extension record", Ref(20, 1), u"/Spread folder/f"},
        {"another folder's", Ref(19, 1), u"$Orphan/f"},
    };
    for (const Case& c : cases) {
        VolumeBuilder v;
        v.Record(20, v.NewRecord(20)
                         .Flags(3)
                         .StandardInformation(kTime, kTime)
                         .ResidentAttribute(0x20,
                                            AttributeList({{0x10, Ref(20, 1)}, {0x30, Ref(21, 1)}}))
                         .Build());
        v.Record(21, v.NewRecord(21)
                         .Flags(1)
                         .BaseReference(c.extensionBase)
                         .FileName(u"Spread folder", 1, kRootReference)
                         .Build());
        v.Record(22, File(v, 22, u"f", Ref(20, 1)));
        EXPECT_EQ(List(v).paths.at(22), c.path) << c.what;
    }
}

}  // namespace
}  // namespace qm
