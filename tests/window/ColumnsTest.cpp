// The list's folder and recoverable columns through the window model: the
// folders arrive once the walk has ended, a stopped walk leaves them empty,
// and both columns sort.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/Platform.h"
#include "tests/window/ModelTest.h"

namespace qm::windowtest {
namespace {

using test::Bytes;
using test::kRootReference;
using test::VolumeBuilder;
using window::RowStore;

constexpr std::uint64_t kTime = 132223104000000000ull;
constexpr int kPath = RowStore::kPathColumn;
constexpr int kShare = RowStore::kRecoverableColumn;

std::uint64_t Ref(std::uint64_t record, std::uint16_t sequence) {
    return record | (std::uint64_t{sequence} << 48);
}

Bytes Folder(const VolumeBuilder& v, std::uint32_t n, std::u16string name, std::uint64_t parent,
             bool inUse) {
    return v.NewRecord(n)
        .Flags(inUse ? 3 : 2)
        .SequenceNumber(inUse ? 1 : 3)  // freeing a record bumps its number
        .StandardInformation(kTime, kTime)
        .FileName(name, 1, parent)
        .Build();
}

test::RecordBuilder File(const VolumeBuilder& v, std::uint32_t n, std::u16string name,
                         std::uint64_t parent) {
    auto b = v.NewRecord(n).SequenceNumber(2).StandardInformation(kTime, kTime);
    b.FileName(name, 1, parent);
    return b;
}

// Folders in use and deleted, the in-use ones after the files in them; an
// orphan; a file with a named stream; a file one of whose four clusters is
// taken again; a file over an extension record; a deleted folder (no row of
// the list).
VolumeBuilder FoldersVolume() {
    VolumeBuilder v;
    v.TotalClusters(256);
    Bytes bits(32, 0);
    for (std::uint64_t c : {0, 1, 2, 3, 101, 110}) bits[c / 8] |= std::uint8_t(1u << (c % 8));
    for (std::uint64_t c = 4; c < 20; ++c) bits[c / 8] |= std::uint8_t(1u << (c % 8));  // the MFT
    v.Record(6, v.NewRecord(6)
                    .Flags(1)
                    .SequenceNumber(6)
                    .StandardInformation(kTime, kTime)
                    .FileName(u"$Bitmap", 3)
                    .ResidentData(bits)
                    .Build());
    const Bytes three(3, 'x');
    v.Record(20, File(v, 20, u"f1", Ref(40, 1)).ResidentData(three).Build());
    v.Record(21, Folder(v, 21, u"B", Ref(40, 1), false));
    v.Record(22, File(v, 22, u"f2", Ref(21, 2)).ResidentData(three).Build());
    v.Record(23, File(v, 23, u"lost", Ref(45, 1)).ResidentData(three).Build());
    test::NonResidentSpec spec;
    spec.runList = test::RunListBuilder().Run(4, 108).Build();
    spec.dataSize = spec.initializedSize = 4 * 4096;
    v.Record(24, File(v, 24, u"part.bin", kRootReference).NonResidentAttribute(0x80, spec).Build());
    v.Record(25, File(v, 25, u"with_ads.txt", Ref(21, 2))
                     .ResidentData(three)
                     .ResidentData(Bytes(9, 's'), u"secret")
                     .Build());
    v.Record(26, File(v, 26, u"数据.txt", Ref(41, 1)).ResidentData(three).Build());
    // A file whose name and data lie in an extension record: listed after the walk.
    Bytes list;
    for (const auto& [type, ref] :
         {std::pair{0x10u, Ref(30, 2)}, {0x30u, Ref(31, 1)}, {0x80u, Ref(31, 1)}}) {
        Bytes e(32, 0);
        test::PutLe(e, 0, type, 4);
        test::PutLe(e, 4, 32, 2);
        test::PutLe(e, 7, 26, 1);  // name offset
        test::PutLe(e, 16, ref, 8);
        list.insert(list.end(), e.begin(), e.end());
    }
    v.Record(30, v.NewRecord(30)
                     .SequenceNumber(3)
                     .StandardInformation(kTime, kTime)
                     .ResidentAttribute(0x20, list)
                     .Build());
    spec.runList = test::RunListBuilder().Run(2, 100).Build();
    spec.dataSize = spec.initializedSize = 5000;
    spec.lastVcn = 1;
    v.Record(31, v.NewRecord(31)
                     .SequenceNumber(2)
                     .BaseReference(Ref(30, 2))
                     .FileName(u"spread.bin", 1, Ref(40, 1))
                     .NonResidentAttribute(0x80, spec)
                     .Build());
    v.Record(40, Folder(v, 40, u"A", kRootReference, true));
    v.Record(41, Folder(v, 41, u"资料", kRootReference, true));
    return v;
}

// What the list is told during a scan.
struct Notices : window::RowStoreListener {
    Notices(const RowStore& s, const FakeView& v) : store(s), view(v) {}
    void BeforeAppend(int first, int) override { from = first; }
    void AfterAppend() override {
        for (int r = from; r < store.Count(); ++r) foldersOnArrival += store.Text(r, kPath);
    }
    // The scans that had ended when the column changed.
    void ColumnChanged(int column) override { changed.push_back({column, view.scanEnds}); }
    const RowStore& store;
    const FakeView& view;
    int from = 0;
    std::string foldersOnArrival;
    std::vector<std::pair<int, int>> changed;
};

struct Shown {
    std::string name, folder, share;
    bool operator==(const Shown&) const = default;
};

void PrintTo(const Shown& s, std::ostream* os) {
    *os << s.name << " | " << s.folder << " | " << s.share;
}

std::vector<Shown> ListShown(const RowStore& rows) {
    std::vector<Shown> out;
    for (int r = 0; r < rows.Count(); ++r)
        out.push_back({std::string(rows.Text(r, 1)), std::string(rows.Text(r, kPath)),
                       std::string(rows.Text(r, kShare))});
    return out;
}

class ColumnsTest : public ::testing::Test {
protected:
    void Start(const std::string& volume) {
        h_.model.FormCreate({{}, [volume] { return std::vector{volume}; }});
    }
    TempDir dir_;
    ModelHarness h_;
};

TEST_F(ColumnsTest, FoldersFillInAfterTheWalkAndBothColumnsSort) {
    Start(WriteVolume(dir_.path, "folders.img", FoldersVolume()));
    RowStore& rows = h_.model.Rows();
    Notices notices(rows, h_.view);
    rows.SetListener(&notices);
    h_.ScanToEnd();
    rows.SetListener(nullptr);

    std::vector<Shown> want = {{"f1", "/A", "100%"},
                               {"f2", "/A/B", "100%"},
                               {"lost", "$Orphan", "100%"},
                               {"part.bin", "/", "75%"},
                               {"with_ads.txt", "/A/B", "100%"},
                               {Utf16ToAnsi(u"数据.txt"), Utf16ToAnsi(u"/资料"), "100%"},
                               {"spread.bin", "/A", "50%"}};
    EXPECT_EQ(ListShown(rows), want);
    EXPECT_EQ(h_.view.labels[window::Label::DeleteFileCount], "删除的文件数：7");
    EXPECT_EQ(notices.foldersOnArrival, "");
    EXPECT_EQ(notices.changed, (std::vector<std::pair<int, int>>{{kPath, 0}}));

    // The folder by the seed's text order, then the share by number; equal
    // values keep the order they had.
    std::stable_sort(want.begin(), want.end(), [](const Shown& a, const Shown& b) {
        return window::CompareTextAscii(a.folder, b.folder) < 0;
    });
    h_.model.ListView1ColumnClick(kPath);
    EXPECT_EQ(ListShown(rows), want);
    EXPECT_EQ(rows.Text(0, 1), "lost");
    std::stable_sort(want.begin(), want.end(), [](const Shown& a, const Shown& b) {
        return std::stoi(a.share) < std::stoi(b.share);
    });
    h_.model.ListView1ColumnClick(kShare);
    EXPECT_EQ(ListShown(rows), want);
    for (int r = 0; r + 1 < rows.Count(); ++r) EXPECT_LE(h_.model.ListView1Compare(r, r + 1), 0);
}

TEST_F(ColumnsTest, AStoppedWalkLeavesTheFoldersEmpty) {
    // More files than the walk can have handed over when the first rows are
    // listed (see ScanWindowTest): the stop always comes before the walk's end.
    std::vector<TestFile> files(60000, TestFile{u"f", ""});
    Start(MakeVolume(dir_.path, "big.img", files));
    RowStore& rows = h_.model.Rows();
    struct StopOnFirstRows : window::RowStoreListener {
        explicit StopOnFirstRows(window::WindowModel& m) : model(m) {}
        void AfterAppend() override {
            if (!pressed) model.btnScanClick();
            pressed = true;
        }
        void ColumnChanged(int) override { ++changed; }
        window::WindowModel& model;
        bool pressed = false;
        int changed = 0;
    } stop(h_.model);
    rows.SetListener(&stop);
    h_.ScanToEnd();
    rows.SetListener(nullptr);
    ASSERT_TRUE(stop.pressed);
    EXPECT_EQ(stop.changed, 0);
    ASSERT_GT(rows.Count(), 0);
    ASSERT_LT(rows.Count(), 60000);
    for (int r = 0; r < rows.Count(); ++r) {
        ASSERT_EQ(rows.Text(r, kPath), "") << r;
        ASSERT_EQ(rows.Text(r, kShare), "100%") << r;
    }

    h_.ScanToEnd();
    ASSERT_EQ(rows.Count(), 60000);
    EXPECT_EQ(rows.Text(0, kPath), "/");
    EXPECT_EQ(rows.Text(59999, kPath), "/");
}

}  // namespace
}  // namespace qm::windowtest
