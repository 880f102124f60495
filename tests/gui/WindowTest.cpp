// The window as built: controls, texts, geometry, tab order, the drive list
// after start-up, and the output folder controls.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>

#include "tests/gui/GuiTest.h"

namespace qm::guitest {
namespace {

struct ControlSpec {
    const char* name;
    const char* parent;
    int left, top, width, height;  // width < 0: sized to its text
    const char* text;
    bool bold;
};

QString TextOf(QWidget* w) {
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
    if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title();
    return {};
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }
    QTemporaryDir dir_;
    Dialogs dialogs_;
};

TEST_F(WindowTest, ControlsTextsAndPlaces) {
    auto w = MakeWindow({{}, {}, dir_.path(), {}}, &dialogs_);
    EXPECT_EQ(Utf8(w->windowTitle()), "Quillmere数据恢复软件 1.0.0.0");
    EXPECT_STREQ(kApplicationTitle, "Quillmere数据恢复工具");
    EXPECT_TRUE(w->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(w->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(w->size(), QSize(859, 576));
    EXPECT_EQ(w->font().pixelSize(), 11);

    const ControlSpec specs[] = {
        {"btn1", "grp1", 32, 15, 75, 25, "全选", false},
        {"btn2", "grp1", 120, 15, 75, 25, "反选", false},
        {"lbl1", "grp1", 728, 24, -1, -1, nullptr, false},
        {"Label1", "Panel1", 16, 8, -1, -1, "NTFS格式磁盘列表:", false},
        {"DriveList", "Panel1", 16, 24, 121, 135, nullptr, false},
        {"btnScan", "Panel1", 16, 165, 121, 35, "扫描磁盘", true},
        {"Drive_Background", "Panel1", 153, 4, 246, 196, nullptr, false},
        {"Drive_BackgroundSeparator", "Panel1", 153, 48, 246, 6, nullptr, false},
        {"Drive_Icon", "Panel1", 161, 10, 32, 32, nullptr, false},
        {"Drive_Title", "Panel1", 191, 11, 186, 32, "磁盘信息", true},
        {"DriveName", "Panel1", 161, 60, -1, -1, "名称: 未知", true},
        {"DriveSerial", "Panel1", 161, 79, -1, -1, "序号: 未知", true},
        {"DriveSize", "Panel1", 161, 98, -1, -1, "大小: 未知", true},
        {"DriveMFTLocation", "Panel1", 161, 117, -1, -1, "MFT位置: 未知", true},
        {"DriveMFTSize", "Panel1", 161, 136, -1, -1, "MFT大小: 未知", true},
        {"DriveMFTRecordsCount", "Panel1", 161, 155, -1, -1, "总文件数: 0", true},
        {"DeleteFileCount", "Panel1", 161, 174, -1, -1, "删除的文件数：0", true},
        {"Bevel1", "Panel1", 416, 6, 4, 194, nullptr, false},
        {"Label2", "Panel1", 432, 6, -1, -1, "文件保存路径:", true},
        {"edPath", "Panel1", 519, 5, 330, 21, nullptr, false},
        {"DCB", "Panel1", 432, 32, 226, 19, nullptr, false},
        {"DLB", "Panel1", 432, 57, 226, 97, nullptr, false},
        {"RadioGroup1", "Panel1", 664, 32, 185, 99, "文件保存方式", false},
        {"rb1", "Panel1", 680, 64, 153, 17, "按原名保存(可能会覆盖)", false},
        {"rb2", "Panel1", 680, 95, 113, 17, "按\"File_编号\"保存", false},
        {"CheckBox1", "Panel1", 664, 137, 185, 17, "选中所有的删除文件", false},
        {"btnRecover", "Panel1", 432, 160, 417, 40, "恢复选中文件", true},
        {"PB", "Panel1", 1, 205, 857, 16, nullptr, false},
        {"grp1", "fMain", 0, 304, 859, 50, "操作", false},
        {"Panel1", "fMain", 0, 354, 859, 222, nullptr, false},
        {"ListView1", "fMain", 0, 0, 859, 304, nullptr, false},
    };
    for (const ControlSpec& s : specs) {
        SCOPED_TRACE(s.name);
        auto* c = w->findChild<QWidget*>(s.name);
        ASSERT_NE(c, nullptr);
        ASSERT_NE(c->parentWidget(), nullptr);
        EXPECT_EQ(c->parentWidget()->objectName(), s.parent);
        EXPECT_EQ(c->pos(), QPoint(s.left, s.top));
        if (s.width >= 0) {
            EXPECT_EQ(c->size(), QSize(s.width, s.height));
        }
        if (s.text) {
            EXPECT_EQ(Utf8(TextOf(c)), s.text);
        }
        EXPECT_EQ(c->font().bold(), s.bold);
    }
    // Kinds, and what each starts as.
    EXPECT_TRUE(w->edPath->isReadOnly());
    EXPECT_TRUE(w->rb1->isChecked());
    EXPECT_FALSE(w->rb2->isChecked());
    EXPECT_FALSE(w->CheckBox1->isChecked());
    EXPECT_EQ(w->PB->minimum(), 0);
    EXPECT_EQ(w->PB->maximum(), 100);
    EXPECT_EQ(w->PB->value(), 0);
    EXPECT_EQ(w->Drive_Title->font().pixelSize(), 17);
    EXPECT_EQ(w->btnScan->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(w->btnScan->iconSize(), QSize(16, 16));
    EXPECT_FALSE(w->btnScan->icon().isNull());
    ASSERT_NE(w->Drive_Icon->pixmap().size(), QSize());
    EXPECT_EQ(w->Drive_Icon->pixmap().size(), QSize(32, 32));
    EXPECT_EQ(w->Drive_Background->Fill(), QColor(Qt::white));
    EXPECT_EQ(w->Drive_Background->Outline(), QColor(Qt::black));
    EXPECT_EQ(w->Drive_BackgroundSeparator->Outline(), QColor(Qt::gray));
    EXPECT_TRUE(w->btnScan->isEnabled());
    EXPECT_TRUE(w->btnRecover->isEnabled());

    // The list fills what the two docked parts leave; they keep their heights
    // and the progress bar stays on the panel's bottom edge.
    w->resize(1000, 700);
    ASSERT_TRUE(WaitUntil([&] { return w->ListView1->height() == 700 - 50 - 222; }));
    EXPECT_EQ(w->grp1->geometry(), QRect(0, 428, 1000, 50));
    EXPECT_EQ(w->Panel1->geometry(), QRect(0, 478, 1000, 222));
    EXPECT_EQ(w->PB->geometry(), QRect(1, 205, 998, 16));
}

TEST_F(WindowTest, ListColumnsAndTabOrder) {
    auto w = MakeWindow({{}, {}, dir_.path(), {}}, &dialogs_);
    const char* captions[] = {"记录位置", "文件名",       "文件类型", "文件大小",
                              "创建日期", "最后修改日期", "原路径",   "可恢复"};
    const int widths[] = {100, 200, 100, 100, 160, 160, 200, 60};
    QHeaderView* header = w->ListView1->horizontalHeader();
    ASSERT_EQ(w->ListView1Model()->columnCount(), 8);
    for (int c = 0; c < 8; ++c) {
        EXPECT_EQ(Utf8(w->ListView1Model()->headerData(c, Qt::Horizontal).toString()), captions[c]);
        EXPECT_EQ(header->sectionSize(c), widths[c]);
    }
    EXPECT_TRUE(w->ListView1->showGrid());
    EXPECT_EQ(w->ListView1->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(w->ListView1->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_FALSE(w->ListView1->verticalHeader()->isVisible());
    EXPECT_FALSE(header->isSortIndicatorShown());

    // Tab order: Panel1's controls, then the list, then grp1's buttons.
    const QStringList expected = {"btnScan",     "DriveList", "PB",   "DLB",        "DCB",
                                  "RadioGroup1", "rb1",       "rb2",  "btnRecover", "edPath",
                                  "CheckBox1",   "ListView1", "btn1", "btn2"};
    QStringList chain;
    QWidget* at = w->btnScan;
    for (int guard = 0; guard < 1000; ++guard) {
        if (expected.contains(at->objectName()) && !chain.contains(at->objectName()))
            chain << at->objectName();
        at = at->nextInFocusChain();
        if (at == w->btnScan) break;
    }
    EXPECT_EQ(chain, expected);
    ASSERT_TRUE(WaitUntil([&] { return w->focusWidget() == w->btnScan; }));
}

TEST_F(WindowTest, StartupListsNtfsSourcesInOrder) {
    const QString d = dir_.path();
    const std::string ntfs1 = MakeVolume(d, "first.img", {}, 64, u"Alpha", 0x11).path;
    const std::string ntfs2 = MakeVolume(d, "second.img", {}, 64, u"Beta", 0xFEDCBA9876543210).path;
    // The same letters in lower case, or "NTFS" one byte later, do not qualify.
    test::VolumeBuilder lower;
    lower.Oem("ntfs").Serial(0xCD);
    const std::string lowerPath = Utf8(d) + "/lower.img";
    WriteBytes(lowerPath, lower.Build());
    std::vector<std::uint8_t> shifted(4096, 0);
    std::copy_n("NTFS", 4, shifted.begin() + 4);
    const std::string shiftedPath = Utf8(d) + "/shifted.img";
    WriteBytes(shiftedPath, shifted);
    // A whole-disk image: an MBR whose one partition, at 1 MiB, holds NTFS.
    test::VolumeBuilder part;
    part.Label(u"Part").Serial(0xAB);
    std::vector<std::uint8_t> disk(1 << 20, 0);
    disk[446 + 4] = 0x07;
    disk[446 + 8] = 0x00;
    disk[446 + 9] = 0x08;  // LBA 2048
    const std::vector<std::uint8_t> partBytes = part.Build();
    const std::uint32_t sectors = static_cast<std::uint32_t>(partBytes.size() / 512);
    for (int i = 0; i < 4; ++i) disk[446 + 12 + i] = static_cast<std::uint8_t>(sectors >> (8 * i));
    disk[510] = 0x55;
    disk[511] = 0xAA;
    disk.insert(disk.end(), partBytes.begin(), partBytes.end());
    const std::string diskPath = Utf8(d) + "/disk.img";
    WriteBytes(diskPath, disk);

    auto w = MakeWindow({{ntfs1, shiftedPath, Utf8(d) + "/missing.img", ntfs2, lowerPath},
                         {diskPath, lowerPath},
                         d,
                         {}},
                        &dialogs_);
    QStringList listed;
    for (int i = 0; i < w->DriveList->count(); ++i) listed << w->DriveList->item(i)->text();
    EXPECT_EQ(listed, QStringList({QString::fromStdString(ntfs1), QString::fromStdString(ntfs2),
                                   QString::fromUtf8("分区 1 [Part] disk.img")}));
    EXPECT_TRUE(w->DriveList->selectedItems().isEmpty());
    // The images are probed after the drives: the partition's label and serial stay.
    EXPECT_EQ(Utf8(w->DriveName->text()), "名称: Part");
    EXPECT_EQ(Utf8(w->DriveSerial->text()), "序号: 000000AB");
    EXPECT_FALSE(ScanRunning || ScanStopRequested || RecoverRunning || RecoverStopRequested);
    EXPECT_TRUE(dialogs_.messages.isEmpty());
    EXPECT_TRUE(dialogs_.errors.isEmpty());

    // With an NTFS source probed last, its label and serial remain.
    auto w2 = MakeWindow({{lowerPath, ntfs2}, {}, d, {}}, &dialogs_);
    EXPECT_EQ(Utf8(w2->DriveName->text()), "名称: Beta");
    EXPECT_EQ(Utf8(w2->DriveSerial->text()), "序号: FEDCBA9876543210");

    // Nothing qualifies: an empty list; a source that opened still shows its serial.
    auto w3 = MakeWindow({{lowerPath, Utf8(d) + "/missing.img"}, {}, d, {}}, &dialogs_);
    EXPECT_EQ(w3->DriveList->count(), 0);
    EXPECT_EQ(Utf8(w3->DriveSerial->text()), "序号: 000000CD");
    auto w4 = MakeWindow({{Utf8(d) + "/missing.img"}, {}, d, {}}, &dialogs_);
    EXPECT_EQ(Utf8(w4->DriveName->text()), "名称: 未知");
    EXPECT_EQ(Utf8(w4->DriveSerial->text()), "序号: 未知");
}

TEST_F(WindowTest, DirectoryListDriveChooserAndOutputFolder) {
    QDir root(dir_.path());
    for (const char* sub : {"b", "A", "c", ".hidden"}) ASSERT_TRUE(root.mkdir(sub));
    ASSERT_TRUE(root.mkpath("b/inner"));
    const QString top = gui::TDirectoryListBox::DirectoryText(dir_.path());
    auto w = MakeWindow({{},
                         {},
                         dir_.path(),
                         {{"/", "System", gui::DriveEntry::Kind::Fixed},
                          {top, "Data", gui::DriveEntry::Kind::Fixed},
                          {"/mnt/share", "server:/export", gui::DriveEntry::Kind::Network}}},
                        &dialogs_);
    EXPECT_EQ(w->edPath->text(), top);
    EXPECT_EQ(w->DLB->Directory(), top);

    // The folders from the root down, the current one marked, then its
    // subfolders sorted without regard to case; hidden ones are left out.
    QStringList items;
    for (int i = 0; i < w->DLB->count(); ++i) items << w->DLB->item(i)->text();
    const int depth = static_cast<int>(top.count('/'));  // "/" plus one per level
    ASSERT_EQ(items.size(), depth + 1 + 3);
    EXPECT_EQ(items.front(), "/");
    EXPECT_EQ(items[depth], QFileInfo(top).fileName());
    EXPECT_EQ(w->DLB->currentRow(), depth);
    EXPECT_EQ(items.mid(depth + 1), QStringList({"A", "b", "c"}));

    // The drive chooser names its drives and follows the directory.
    ASSERT_EQ(w->DCB->count(), 3);
    EXPECT_EQ(w->DCB->itemText(0), "/ [system]");
    EXPECT_EQ(w->DCB->itemText(1), top + " [data]");
    EXPECT_EQ(w->DCB->itemText(2), "/mnt/share server:/export");
    EXPECT_EQ(w->DCB->currentIndex(), 1);

    // A double click opens a folder; the output folder follows.
    QListWidgetItem* b = w->DLB->item(depth + 2);
    ASSERT_EQ(b->text(), "b");
    emit w->DLB->itemDoubleClicked(b);
    EXPECT_EQ(w->DLB->Directory(), top + "/b");
    EXPECT_EQ(w->edPath->text(), top + "/b");
    EXPECT_EQ(w->DLB->item(w->DLB->count() - 1)->text(), "inner");

    // Choosing a drive moves the list to its root; a root keeps its separator.
    w->DCB->setCurrentIndex(0);
    emit w->DCB->activated(0);
    EXPECT_EQ(w->DLB->Directory(), "/");
    EXPECT_EQ(w->edPath->text(), "/");
    EXPECT_EQ(w->DLB->item(0)->text(), "/");
    EXPECT_EQ(w->DLB->currentRow(), 0);
    emit w->DCB->activated(1);
    EXPECT_EQ(w->edPath->text(), top);
}

}  // namespace
}  // namespace qm::guitest
