// Recovery from the window: by name and by number into a temporary folder,
// progress and button states, stop, the prompts, the error box and the
// question before writing onto the volume being read.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include "tests/gui/GuiTest.h"

namespace qm::guitest {
namespace {

std::string Content(int i) {
    return "content of file " + std::to_string(i) + std::string(i * 700, 'a' + i);
}

class RecoverWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<TestFile> files;
        for (int i = 0; i < 30; ++i)
            files.push_back({u"f" + std::u16string(1, u'A' + i) + u".txt", Content(i)});
        for (TestFile& f : files) f.nonResident = f.content.size() > 600;
        ASSERT_TRUE(files[4].nonResident);
        volume_ = MakeVolume(dir_.path(), "vol.img", files);
        out_ = dir_.path() + "/out";
        ASSERT_TRUE(QDir().mkpath(out_));
        w_ = MakeWindow({{volume_.path}, {}, out_, {}}, &dialogs_);
        ASSERT_TRUE(ScanToEnd(*w_));
        ASSERT_EQ(w_->ListView1Model()->Count(), 30);
    }
    // Presses the button and waits for the recovery's end.
    bool Recover() {
        bool ended = false;
        auto c = QObject::connect(w_.get(), &TfMain::RecoverEnded, [&ended] { ended = true; });
        w_->btnRecoverClick();
        const bool ok = WaitUntil([&] { return ended; });
        QObject::disconnect(c);
        return ok;
    }
    QStringList Written() const {
        return QDir(out_).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }
    std::string Out(const char* name) const { return ReadText(Utf8(out_) + "/" + name); }

    QTemporaryDir dir_;
    Dialogs dialogs_;
    TestVolume volume_;
    QString out_;
    std::unique_ptr<TfMain> w_;
};

TEST_F(RecoverWindowTest, ByNameAndByNumberWriteTheTickedRows) {
    for (int r : {1, 4}) w_->ListView1Model()->SetChecked(r, true);
    QStringList states;
    QObject::connect(w_->PB, &QProgressBar::valueChanged, [&](int v) {
        if (v > 0) states << w_->btnRecover->text() + (w_->btnScan->isEnabled() ? "+" : "-");
    });
    ASSERT_TRUE(Recover());
    EXPECT_EQ(Written(), QStringList({"fB.txt", "fE.txt"}));
    EXPECT_EQ(Out("fB.txt"), Content(1));
    EXPECT_EQ(Out("fE.txt"), Content(4));  // non-resident
    EXPECT_EQ(w_->PB->maximum(), 2);
    EXPECT_EQ(w_->PB->value(), 2);
    ASSERT_FALSE(states.isEmpty());
    for (const QString& s : states) EXPECT_EQ(Utf8(s), "停止恢复-");
    EXPECT_EQ(Utf8(w_->btnRecover->text()), "恢复文件");
    EXPECT_TRUE(w_->btnScan->isEnabled());
    EXPECT_FALSE(RecoverRunning);

    // By number: the row's place in the list, gaps and all, no extension.
    ASSERT_TRUE(QDir(out_).removeRecursively() && QDir().mkpath(out_));
    w_->ListView1Model()->SetAllChecked(false);
    for (int r : {0, 3, 7}) w_->ListView1Model()->SetChecked(r, true);
    w_->rb2->setChecked(true);
    ASSERT_TRUE(Recover());
    EXPECT_EQ(Written(), QStringList({"File_0", "File_3", "File_7"}));
    EXPECT_EQ(Out("File_7"), Content(7));

    // After a sort the same record takes the number of its new place.
    w_->ListView1ColumnClick(3);  // sizes as text: "11x" before "8x"
    int at = -1;
    for (int r = 0; r < 30; ++r)
        if (w_->ListView1Model()->Text(r, 1) == "fH.txt") at = r;
    ASSERT_NE(at, 7);
    ASSERT_TRUE(w_->ListView1Model()->Checked(at));
    ASSERT_TRUE(Recover());
    EXPECT_EQ(ReadText(Utf8(out_) + "/File_" + std::to_string(at)), Content(7));
}

TEST_F(RecoverWindowTest, StopPartWayAndStartAgain) {
    w_->btn1Click();
    QObject::connect(w_->PB, &QProgressBar::valueChanged, [&](int v) {
        if (v == 3 && RecoverRunning) w_->btnRecoverClick();  // a press while running stops
    });
    ASSERT_TRUE(Recover());
    const int written = static_cast<int>(Written().size());
    EXPECT_GE(written, 3);  // the row in hand when the stop came is finished
    EXPECT_LE(written, 4);
    EXPECT_EQ(w_->PB->value(), written);
    EXPECT_EQ(w_->PB->maximum(), 30);
    EXPECT_TRUE(RecoverStopRequested);
    EXPECT_EQ(Utf8(w_->btnRecover->text()), "恢复文件");

    QObject::disconnect(w_->PB, nullptr, nullptr, nullptr);
    ASSERT_TRUE(Recover());  // a new start clears the stop request
    EXPECT_EQ(Written().size(), 30);
    EXPECT_FALSE(RecoverStopRequested);
}

TEST_F(RecoverWindowTest, PromptsErrorAndSameVolumeQuestion) {
    w_->btnRecoverClick();
    EXPECT_EQ(dialogs_.messages, QStringList{QString::fromUtf8("请选择恢复的文件!")});
    EXPECT_EQ(Utf8(w_->btnRecover->text()), "恢复选中文件");

    // Without a selected source the command fails through the error handler.
    w_->ListView1Model()->SetChecked(2, true);
    w_->DriveList->clearSelection();
    w_->RunCommand([&] { w_->btnRecoverClick(); });
    EXPECT_EQ(dialogs_.errors, QStringList{"List index out of bounds (-1)"});
    EXPECT_FALSE(RecoverRunning || RecoverStopRequested || w_->HasWorkers());
    EXPECT_EQ(ErrorBoxText("Disk full"), "Disk full.");
    EXPECT_EQ(ErrorBoxText("Stop."), "Stop.");

    // A folder on the volume being read: No starts nothing, Yes goes on.
    w_->DriveList->setCurrentRow(0);
    std::string askedFolder, askedSource;
    w_->folderIsOnSource = [&](const std::string& folder, const std::string& source) {
        askedFolder = folder;
        askedSource = source;
        return true;
    };
    dialogs_.answer = false;
    w_->btnRecoverClick();
    ASSERT_EQ(dialogs_.questions.size(), 1);
    EXPECT_EQ(Utf8(dialogs_.questions[0]),
              "输出文件夹位于正在恢复的磁盘上，写入可能覆盖尚未恢复的已删除文件。仍要继续吗?");
    EXPECT_EQ(askedFolder, Utf8(out_));
    EXPECT_EQ(askedSource, volume_.path);
    EXPECT_FALSE(RecoverRunning || w_->HasWorkers());
    EXPECT_TRUE(Written().isEmpty());
    dialogs_.answer = true;
    ASSERT_TRUE(Recover());
    EXPECT_EQ(Written(), QStringList{"fC.txt"});
}

TEST_F(RecoverWindowTest, AFolderThatIsGoneIsReportedAtTheEnd) {
    // The folder list still shows the folder; writing into it fails.
    for (int r : {0, 1, 2}) w_->ListView1Model()->SetChecked(r, true);
    ASSERT_TRUE(QDir(out_).removeRecursively());
    ASSERT_TRUE(Recover());
    ASSERT_EQ(dialogs_.messages.size(), 1);
    const std::string m = Utf8(dialogs_.messages[0]);
    EXPECT_EQ(
        m.rfind(
            "恢复结束: 0 个文件完好, 0 个文件已损坏, 3 个文件未能恢复。\nfA.txt: 无法写入输出文件",
            0),
        0u)
        << m;
    EXPECT_EQ(w_->PB->value(), 3);
    EXPECT_EQ(Utf8(w_->btnRecover->text()), "恢复文件");
}

TEST_F(RecoverWindowTest, ReadsTheScannedSourceWhateverIsSelectedLater) {
    // Another volume with other files at the same records.
    const std::string other =
        MakeVolume(dir_.path(), "other.img", {{u"fA.txt", "not this one"}}, 64, u"Other").path;
    auto w = MakeWindow({{volume_.path, other}, {}, out_, {}}, &dialogs_);
    ASSERT_TRUE(ScanToEnd(*w, 0));
    w->ListView1Model()->SetChecked(0, true);
    w->DriveList->setCurrentRow(1);
    bool ended = false;
    QObject::connect(w.get(), &TfMain::RecoverEnded, [&ended] { ended = true; });
    w->btnRecoverClick();
    ASSERT_TRUE(WaitUntil([&] { return ended; }));
    EXPECT_EQ(Out("fA.txt"), Content(0));
}

TEST_F(RecoverWindowTest, MessageBoxesAreModalAndTitled) {
    auto fresh = MakeWindow({{volume_.path}, {}, out_, {}}, nullptr);
    struct Seen {
        QString title, text;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
    };
    std::vector<Seen> seen;
    auto inspect = [&] {
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            seen.push_back({box->windowTitle(), box->text(), box->icon(), box->standardButtons()});
            box->reject();
        });
    };
    inspect();
    fresh->btnScanClick();  // nothing selected
    inspect();
    fresh->btnRecoverClick();  // nothing ticked
    fresh->DriveList->setCurrentRow(0);
    ASSERT_TRUE(ScanToEnd(*fresh));
    fresh->ListView1Model()->SetChecked(0, true);
    fresh->DriveList->clearSelection();
    inspect();
    fresh->RunCommand([&] { fresh->btnRecoverClick(); });
    ASSERT_EQ(seen.size(), 3u);
    const QString title = QString::fromUtf8(kApplicationTitle);
    EXPECT_EQ(seen[0].text, QString::fromUtf8("请先选择一个磁盘!"));
    EXPECT_EQ(seen[1].text, QString::fromUtf8("请选择恢复的文件!"));
    EXPECT_EQ(seen[2].text, "List index out of bounds (-1)");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(seen[static_cast<std::size_t>(i)].title, title);
        EXPECT_EQ(seen[static_cast<std::size_t>(i)].buttons, QMessageBox::Ok);
    }
    EXPECT_EQ(seen[0].icon, QMessageBox::NoIcon);
    EXPECT_EQ(seen[2].icon, QMessageBox::Critical);
}

}  // namespace
}  // namespace qm::guitest
