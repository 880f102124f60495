// The window model without any toolkit: start-up, the commands and their
// prompts, a scan and recoveries through the workers, and what the window
// says when files could not be recovered whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>

#include "tests/window/ModelTest.h"

namespace qm::windowtest {
namespace {

using window::Label;

std::string Content(int i) {
    return "file " + std::to_string(i) + std::string(static_cast<std::size_t>(i) * 500, 'a' + i);
}

class WindowModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<TestFile> files;
        for (int i = 0; i < 5; ++i)
            files.push_back({u"f" + std::u16string(1, u'A' + i), Content(i)});
        volume_ = MakeVolume(dir_.path, "vol.img", files, u"Data");
        out_ = (std::filesystem::path(dir_.path) / "out").string();
        std::filesystem::create_directories(out_);
        h_.view.folder = out_;
    }
    std::vector<std::string> Written() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(out_))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    void Start() {
        h_.model.FormCreate({{}, [this] { return std::vector{volume_}; }});
    }

    TempDir dir_;
    std::string volume_, out_;
    ModelHarness h_;
};

TEST_F(WindowModelTest, StartupListsNtfsDrivesThenImages) {
    const std::string image = MakeVolume(dir_.path, "image.img", {{u"x", "x"}}, u"Img");
    const std::string notNtfs = (std::filesystem::path(dir_.path) / "plain.bin").string();
    std::ofstream(notNtfs) << std::string(4096, 'z');
    const std::string missing = dir_.path + "/missing.img";
    h_.model.FormCreate({{image, missing}, [&] { return std::vector{notNtfs, volume_, missing}; }});
    EXPECT_EQ(h_.view.drives, (std::vector<std::string>{volume_, image}));
    EXPECT_EQ(h_.view.path, out_);
    EXPECT_FALSE(ScanRunning || ScanStopRequested || RecoverRunning || RecoverStopRequested);
}

TEST_F(WindowModelTest, PromptsAndTheListIndexError) {
    Start();
    struct Case {
        const char* what;
        int selected;
        bool scan, tick;
        std::vector<std::string> messages, errors;
    };
    const Case cases[] = {
        {"scan, no drive", -1, true, false, {"请先选择一个磁盘!"}, {}},
        {"recover, no tick", 0, false, false, {"请选择恢复的文件!"}, {}},
        {"recover, no drive", -1, false, true, {}, {"List index out of bounds (-1)"}},
    };
    h_.ScanToEnd();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        h_.view.messages.clear();
        h_.view.errors.clear();
        h_.view.selected = c.selected;
        h_.model.Rows().SetAllChecked(c.tick);
        h_.model.RunCommand([&] { c.scan ? h_.model.btnScanClick() : h_.model.btnRecoverClick(); });
        EXPECT_EQ(h_.view.messages, c.messages);
        EXPECT_EQ(h_.view.errors, c.errors);
        EXPECT_FALSE(h_.model.HasWorkers());
    }
}

TEST_F(WindowModelTest, ScanListsRowsAndLeavesTheButtonsIdle) {
    Start();
    h_.ScanToEnd();
    const window::RowStore& rows = h_.model.Rows();
    ASSERT_EQ(rows.Count(), 5);
    EXPECT_EQ(rows.Text(0, 0), "0x8000");  // record 16 after 16 KiB of clusters
    EXPECT_EQ(rows.Text(2, 1), "fC");
    EXPECT_EQ(rows.Text(2, 3), std::to_string(Content(2).size()));
    EXPECT_EQ(h_.view.labels[Label::DeleteFileCount], "删除的文件数：5");
    EXPECT_EQ(h_.view.labels[Label::DriveName], "名称: Data");
    EXPECT_EQ(h_.view.scanCaption, "扫描磁盘");
    EXPECT_TRUE(h_.view.recoverEnabled);
    EXPECT_FALSE(ScanRunning);
    EXPECT_FALSE(h_.model.HasWorkers());
}

TEST_F(WindowModelTest, RecoversTickedRowsByNameAndByNumber) {
    Start();
    h_.ScanToEnd();
    h_.model.Rows().SetChecked(1, true);
    h_.model.Rows().SetChecked(3, true);
    h_.RecoverToEnd();
    EXPECT_EQ(Written(), (std::vector<std::string>{"fB", "fD"}));
    EXPECT_EQ(ReadFile(out_ + "/fD"), Content(3));  // in clusters
    EXPECT_EQ(h_.view.progressMax, 2);
    EXPECT_EQ(h_.view.progress, 2);
    EXPECT_EQ(h_.view.recoverCaption, "恢复文件");
    EXPECT_TRUE(h_.view.messages.empty());
    EXPECT_EQ(h_.model.LastRecovery().written, 2);

    std::filesystem::remove_all(out_);
    std::filesystem::create_directories(out_);
    h_.view.byName = false;
    h_.model.ListView1ColumnClick(1);  // places follow the order shown
    h_.model.btn2Click();              // ticks 0, 2, 4
    h_.RecoverToEnd();
    EXPECT_EQ(Written(), (std::vector<std::string>{"File_0", "File_2", "File_4"}));
    EXPECT_EQ(ReadFile(out_ + "/File_4"), Content(4));
}

TEST_F(WindowModelTest, RecoveryIntoAnUnwritableFolderSaysWhatWasGivenUp) {
    Start();
    h_.ScanToEnd();
    const std::string file = out_ + "/not-a-folder";
    std::ofstream(file) << "x";
    h_.view.folder = file + "/sub";
    h_.model.btn1Click();
    h_.RecoverToEnd();
    ASSERT_EQ(h_.view.messages.size(), 1u);
    const std::string& m = h_.view.messages[0];
    EXPECT_EQ(
        m.rfind("恢复结束: 0 个文件完好, 0 个文件已损坏, 5 个文件未能恢复。\nfA: 无法写入输出文件",
                0),
        0u)
        << m;
    // The first three reasons, one line each.
    EXPECT_EQ(std::count(m.begin(), m.end(), '\n'), 3) << m;
    EXPECT_EQ(h_.model.LastRecovery().givenUp, 5);
    EXPECT_EQ(h_.view.progress, 5);
    EXPECT_TRUE(h_.view.scanEnabled);
}

TEST_F(WindowModelTest, ListCommands) {
    Start();
    window::RowStore& rows = h_.model.Rows();
    h_.model.btn1Click();  // nothing to tick yet
    h_.model.btn2Click();
    EXPECT_EQ(rows.CheckedCount(), 0);
    h_.ScanToEnd();
    struct Step {
        const char* what;
        std::function<void()> command;
        std::vector<bool> ticks;
    };
    const Step steps[] = {
        {"select all deleted",
         [&] { h_.view.selectAll = true, h_.model.CheckBox1Click(); },
         {true, true, true, true, true}},
        {"box cleared",
         [&] { h_.view.selectAll = false, h_.model.CheckBox1Click(); },
         {false, false, false, false, false}},
        {"tick one", [&] { rows.SetChecked(3, true); }, {false, false, false, true, false}},
        {"invert", [&] { h_.model.btn2Click(); }, {true, true, true, false, true}},
        {"tick all", [&] { h_.model.btn1Click(); }, {true, true, true, true, true}},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        s.command();
        std::vector<bool> ticks;
        for (int r = 0; r < rows.Count(); ++r) ticks.push_back(rows.Checked(r));
        EXPECT_EQ(ticks, s.ticks);
    }
    // Sizes sort as texts: "1006" < "2006" < "506" < "7" < ...
    h_.model.ListView1ColumnClick(3);
    EXPECT_EQ(SortColumn, 3);
    for (int r = 0; r + 1 < rows.Count(); ++r) EXPECT_LE(h_.model.ListView1Compare(r, r + 1), 0);
    EXPECT_EQ(rows.Text(0, 1), "fC");
    h_.model.DLBChange();
    EXPECT_EQ(h_.view.path, out_);
}

TEST_F(WindowModelTest, AScanThroughACopySaysWhichCopyItUsed) {
    const std::string good = ReadFile(volume_);
    std::string badGeometry =
        good;  // the backup in the last sector, the first without a cluster size
    std::copy(good.begin(), good.begin() + 512, badGeometry.end() - 512);
    badGeometry[13] = '\0';
    std::string noRecord0 = good;
    noRecord0.replace(4 * 4096, 4, "XXXX");  // record 0, at cluster 4, without "FILE"
    struct Case {
        const char* what;
        std::string image;
        std::vector<std::string> messages;
    } cases[] = {
        {"the originals", good, {}},
        {"the backup boot sector",
         badGeometry,
         {"引导扇区已损坏或无法读取，已使用卷末尾的备份引导扇区。"}},
        {"the MFT as one run",
         noRecord0,
         {"MFT记录0及其副本均无法使用，已将MFT按一段连续区域读取，部分文件可能未列出。"}},
    };
    const std::string path = dir_.path + "/copy.img";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << c.image;
        h_.model.FormCreate({{path}, [] { return std::vector<std::string>{}; }});
        ASSERT_EQ(h_.model.Sources(), std::vector<std::string>{path});
        h_.view.messages.clear();
        h_.ScanToEnd();
        EXPECT_EQ(h_.view.messages, c.messages);
        EXPECT_EQ(h_.model.Rows().Count(), 5);
    }
    // Both copies at once: a line each.
    EXPECT_EQ(window::ScanCopiesMessage(BootCopy::Backup, LayoutSource::Mirror),
              "引导扇区已损坏或无法读取，已使用卷末尾的备份引导扇区。\n"
              "MFT记录0已损坏或无法读取，已使用$MFTMirr中的副本。");
}

TEST(RecoverEndMessageTest, CountsAndFirstReasons) {
    auto result = [](RecoverStatus s, int err = 0, std::vector<ByteRange> bad = {}) {
        RecoverResult r;
        r.status = s;
        r.systemError = err;
        r.unreadable = std::move(bad);
        return r;
    };
    struct Case {
        const char* what;
        std::vector<RecoverResult> results;
        std::string message;
    };
    const Case cases[] = {
        {"all whole", {result(RecoverStatus::Written), result(RecoverStatus::Cancelled)}, ""},
        {"damaged",
         {result(RecoverStatus::Written),
          result(RecoverStatus::Damaged, 0, {{0, 512}, {4096, 1024}})},
         "恢复结束: 1 个文件完好, 1 个文件已损坏, 0 个文件未能恢复。\n"
         "n1: 部分内容无法读取，已用零填充 (1536 字节)"},
        {"given up, reasons capped at three",
         {result(RecoverStatus::Encrypted), result(RecoverStatus::InUse),
          result(RecoverStatus::BadRecord), result(RecoverStatus::NoData)},
         "恢复结束: 0 个文件完好, 0 个文件已损坏, 4 个文件未能恢复。\n"
         "n0: 文件已加密，无法恢复\nn1: 记录已被重新使用\nn2: MFT记录已损坏"},
        {"source gone ends it",
         {result(RecoverStatus::SourceFailed)},
         "恢复结束: 0 个文件完好, 0 个文件已损坏, 1 个文件未能恢复。\n"
         "n0: 磁盘已无法读取\n恢复已中止: 磁盘已无法读取"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        window::RecoverTally tally;
        for (std::size_t i = 0; i < c.results.size(); ++i)
            tally.Add("n" + std::to_string(i), c.results[i],
                      TRecoverThread::EndsRecovery(c.results[i]));
        EXPECT_EQ(window::RecoverEndMessage(tally), c.message);
    }
    const std::string withSystem =
        window::RecoverReasonText(result(RecoverStatus::OutputFailed, ENOENT));
    EXPECT_EQ(withSystem, "无法写入输出文件: " + SystemErrorText(ENOENT));
}

TEST(RecoverEndsTest, SourceGoneAndFullDiskStopTheRecovery) {
    RecoverResult r;
    struct Case {
        RecoverStatus status;
        int error;
        bool ends;
    };
#ifdef _WIN32
    const int full = 112, other = 5;
#else
    const int full = ENOSPC, other = EACCES;
#endif
    const Case cases[] = {{RecoverStatus::SourceFailed, 0, true},
                          {RecoverStatus::OutputFailed, full, true},
                          {RecoverStatus::OutputFailed, other, false},
                          {RecoverStatus::Damaged, 0, false},
                          {RecoverStatus::BadRecord, 0, false}};
    for (const Case& c : cases) {
        r.status = c.status;
        r.systemError = c.error;
        EXPECT_EQ(TRecoverThread::EndsRecovery(r), c.ends) << static_cast<int>(c.status);
    }
}

}  // namespace
}  // namespace qm::windowtest
