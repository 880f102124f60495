// The scan from the window: labels, rows, count, progress, button states,
// stop, the prompt, and the date texts under two locales and a fixed zone.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>

#include "recover/RecoverRecord.h"
#include "scan/DateText.h"
#include "scan/uScanThread.h"
#include "tests/gui/GuiTest.h"

namespace qm::guitest {
namespace {

class ScanWindowTest : public ::testing::Test {
protected:
    QTemporaryDir dir_;
    Dialogs dialogs_;
};

LocaleFormats TwentyFourHour() {
    return LocaleFormats{"yyyy/M/d", "/", ":", false, false, false, "AM", "PM"};
}
LocaleFormats TwelveHourMarkerFirst() {
    return LocaleFormats{"dd.MM.yyyy", ".", ":", true, true, true, "上午", "下午"};
}

void UseFormats(TfMain& w, const LocaleFormats& f) {
    w.readLocaleFormats = [f] { return f; };
    QEvent change(QEvent::LocaleChange);
    QCoreApplication::sendEvent(&w, &change);
}

TEST_F(ScanWindowTest, ListsDeletedFilesWithLabelsProgressAndStates) {
    const TestVolume v =
        MakeVolume(dir_.path(), "vol.img",
                   {{u"report.final.doc", "hello"},
                    {u"README", std::string(5000, 'r'), FileTime(2020, 1, 2, 3, 4, 5),
                     FileTime(2020, 1, 2, 0, 0, 0, 999), true},
                    {u"数据.txt", "x"},
                    {u".profile", ""}});
    auto w = MakeWindow({{v.path}, {}, dir_.path(), {}}, &dialogs_);
    UseFormats(*w, TwentyFourHour());
    QStringList statesDuringWalk;
    QObject::connect(w->PB, &QProgressBar::valueChanged, [&](int v) {
        if (v > 0)
            statesDuringWalk << w->btnScan->text() + (w->btnRecover->isEnabled() ? "+" : "-");
    });
    ASSERT_TRUE(ScanToEnd(*w));

    // In the root; resident content is whole, clusters without a bitmap to
    // check them against are not known.
    const std::string rows[4][7] = {
        {"report.final.doc", ".doc", "5", "2004/2/29 20:00:29", "2021/7/1", "/", "100%"},
        {"README", "", "5000", "2020/1/2 3:04:05", "2020/1/2", "/", ""},
        {"数据.txt", ".txt", "1", "2004/2/29 20:00:29", "2021/7/1", "/", "100%"},
        {".profile", ".profile", "0", "2004/2/29 20:00:29", "2021/7/1", "/", "100%"}};
    ASSERT_EQ(w->ListView1Model()->Count(), 4);
    for (int r = 0; r < 4; ++r) {
        std::vector<std::string> got = RowTextsAt(*w, r);
        EXPECT_EQ(
            got[0],
            "0x" + HexText(v.builder.RecordOffset(v.records[static_cast<std::size_t>(r)]), 2));
        EXPECT_EQ(std::vector<std::string>(got.begin() + 1, got.end()),
                  std::vector<std::string>(rows[r], rows[r] + 7));
        EXPECT_FALSE(w->ListView1Model()->Checked(r));
    }
    const auto size = QFileInfo(QString::fromStdString(v.path)).size();
    EXPECT_EQ(Utf8(w->DriveName->text()), "名称: Test");
    EXPECT_EQ(Utf8(w->DriveSerial->text()), "序号: 1234ABCD5678EF90");
    EXPECT_EQ(Utf8(w->DriveSize->text()), "大小 : " + std::to_string(size) + " 字节");
    EXPECT_EQ(Utf8(w->DriveMFTLocation->text()), "MFT位置 : 0x4000");
    EXPECT_EQ(Utf8(w->DriveMFTSize->text()), "MFT大小 : 65536 字节");
    EXPECT_EQ(Utf8(w->DriveMFTRecordsCount->text()), "文件数 : 64");
    EXPECT_EQ(Utf8(w->DeleteFileCount->text()), "删除的文件数：4");
    EXPECT_EQ(w->PB->maximum(), 48);
    EXPECT_EQ(w->PB->value(), 48);
    EXPECT_EQ((VolumeGeometry{1024, 4096, 512, 8}), w->VolumeGeometry());
    EXPECT_EQ(Utf8(w->btnScan->text()), "扫描磁盘");
    EXPECT_TRUE(w->btnRecover->isEnabled());
    EXPECT_FALSE(ScanRunning);
    ASSERT_FALSE(statesDuringWalk.isEmpty());
    for (const QString& s : statesDuringWalk) EXPECT_EQ(Utf8(s), "停止扫描-");

    // A source whose set-up stops leaves the rows; the count keeps the command's text.
    WriteBytes(v.path, std::vector<std::uint8_t>(4096, 0));
    ASSERT_TRUE(ScanToEnd(*w));
    EXPECT_EQ(w->ListView1Model()->Count(), 4);
    EXPECT_EQ(Utf8(w->DeleteFileCount->text()), "删除的文件数: 0");
    EXPECT_EQ(Utf8(w->btnScan->text()), "扫描磁盘");

    // Without a selection the command only asks for one.
    w->DriveList->clearSelection();
    w->btnScanClick();
    EXPECT_EQ(dialogs_.messages, QStringList{QString::fromUtf8("请先选择一个磁盘!")});
    EXPECT_FALSE(ScanRunning);
}

TEST_F(ScanWindowTest, StopDuringWalkKeepsRowsFoundSoFar) {
    // The stop is pressed as the first rows reach the list. The walk cannot be
    // further on than the rows handed over then: the batch being listed, the
    // batches waiting for the UI thread and the one being filled.
    const int kFiles = 60000;
    const int kMostAhead =
        static_cast<int>((2 + TScanThread::kQueuedBatches) * TScanThread::kBatchRows);
    static_assert(kFiles > (2 + TScanThread::kQueuedBatches) * TScanThread::kBatchRows);
    std::vector<TestFile> files(kFiles);
    for (std::size_t i = 0; i < files.size(); ++i)
        files[i].name = u"f" + std::u16string(1, u'a' + i % 26);
    const TestVolume v = MakeVolume(dir_.path(), "big.img", files);
    auto w = MakeWindow({{v.path}, {}, dir_.path(), {}}, &dialogs_);
    std::string captionWhileRunning;
    QObject::connect(w->ListView1Model(), &QAbstractItemModel::rowsInserted, w.get(), [&] {
        if (!captionWhileRunning.empty()) return;
        captionWhileRunning = Utf8(w->btnScan->text());
        w->btnScanClick();  // the second press stops
    });
    w->DriveList->setCurrentRow(0);
    w->btnScanClick();
    ASSERT_TRUE(WaitUntil([&] { return !captionWhileRunning.empty() && !ScanRunning; }));
    QObject::disconnect(w->ListView1Model(), nullptr, w.get(), nullptr);
    EXPECT_EQ(captionWhileRunning, "停止扫描");
    const int kept = w->ListView1Model()->Count();
    EXPECT_GT(kept, 0);
    EXPECT_LE(kept, kMostAhead);
    EXPECT_EQ(Utf8(w->DeleteFileCount->text()), "删除的文件数：" + std::to_string(kept));
    EXPECT_LT(w->PB->value(), w->PB->maximum());
    EXPECT_TRUE(ScanStopRequested);
    // Rows arrived in record order.
    for (int r = 1; r < kept; ++r)
        ASSERT_LT(*ParsePosition(w->ListView1Model()->Text(r - 1, 0)),
                  *ParsePosition(w->ListView1Model()->Text(r, 0)));

    // The next scan starts afresh and lists everything.
    ASSERT_TRUE(ScanToEnd(*w));
    EXPECT_EQ(w->ListView1Model()->Count(), kFiles);
    EXPECT_EQ(Utf8(w->DeleteFileCount->text()), "删除的文件数：" + std::to_string(kFiles));
}

TEST_F(ScanWindowTest, DateTextsFollowTheLocaleAndZone) {
    setenv("TZ", "CST-8", 1);  // UTC+8, no daylight saving
    tzset();
    const TestVolume v = MakeVolume(
        dir_.path(), "dates.img",
        {{u"a", "", FileTime(2004, 2, 29, 20, 0, 29, 452), FileTime(2021, 6, 30, 16, 0, 0, 999)},
         {u"b", "", FileTime(2004, 2, 29, 6, 30, 5)}});
    auto w = MakeWindow({{v.path}, {}, dir_.path(), {}}, &dialogs_);
    UseFormats(*w, TwentyFourHour());
    ASSERT_TRUE(ScanToEnd(*w));
    EXPECT_EQ(RowTextsAt(*w, 0)[4], "2004/3/1 4:00:29");
    EXPECT_EQ(RowTextsAt(*w, 0)[5], "2021/7/1");  // local midnight: no time part
    EXPECT_EQ(RowTextsAt(*w, 1)[4], "2004/2/29 14:30:05");

    // New formats apply to rows listed from then on; listed rows keep theirs.
    UseFormats(*w, TwelveHourMarkerFirst());
    EXPECT_EQ(RowTextsAt(*w, 0)[4], "2004/3/1 4:00:29");
    ASSERT_TRUE(ScanToEnd(*w));
    EXPECT_EQ(RowTextsAt(*w, 0)[4], "01.03.2004 上午 04:00:29");
    EXPECT_EQ(RowTextsAt(*w, 1)[4], "29.02.2004 下午 02:30:05");
    setenv("TZ", "UTC", 1);
    tzset();

    // The pieces on their own: patterns, quotes, names, 12-hour edges.
    const LocalDateTime t{2004, 3, 1, 0, 5, 9, 0};
    LocaleFormats f{"d-MMM-yy ddd 'y''s'", "/", ".", true, false, false, "am", "pm"};
    EXPECT_EQ(ShortDateText(t, f), "1-Mar-04 Mon y's");
    EXPECT_EQ(LongTimeText(t, f), "12.05.09 am");
    EXPECT_EQ(LongTimeText(LocalDateTime{2004, 3, 1, 13, 0, 0, 0}, f), "1.00.00 pm");
    EXPECT_EQ(DateText(LocalDateTime{2004, 3, 1, 0, 0, 0, 999}, f), "1-Mar-04 Mon y's");
    EXPECT_EQ(FileTimeText(std::uint64_t{1} << 63, f), "");
}

}  // namespace
}  // namespace qm::guitest
