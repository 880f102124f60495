// Workers against the window's own life: closing or destroying the window
// while one runs, a scan started the moment a recovery ends, and the list
// commands while a recovery reads the list.
#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QElapsedTimer>
#include <QListWidget>
#include <QProgressBar>
#include <QTimer>

#include "scan/uScanThread.h"
#include "tests/gui/GuiTest.h"

namespace qm::guitest {
namespace {

class WorkerLifetimeTest : public ::testing::Test {
protected:
    static constexpr int kFiles = 20000;
    // Every written file is flushed to disk: tick few.
    void TickFirst(int n) {
        for (int r = 0; r < n; ++r) w_->ListView1Model()->SetChecked(r, true);
    }
    void SetUp() override { Open(kFiles); }
    void Open(int count) {
        w_.reset();
        std::vector<TestFile> files(static_cast<std::size_t>(count));
        for (std::size_t i = 0; i < files.size(); ++i)
            files[i] = {u"n" + std::u16string(1, u'a' + i % 26), std::string(i % 2000, 'q'),
                        FileTime(2020, 1, 1, 0, 0, 0), FileTime(2020, 1, 1, 0, 0, 0),
                        i % 2000 > 600};
        volume_ = MakeVolume(dir_.path(), "vol" + std::to_string(count) + ".img", files);
        w_ = MakeWindow({{volume_.path}, {}, dir_.path(), {}}, nullptr);
        w_->DriveList->setCurrentRow(0);
    }
    QTemporaryDir dir_;
    TestVolume volume_;
    std::unique_ptr<TfMain> w_;
};

TEST_F(WorkerLifetimeTest, ClosingDuringScanEndsCleanly) {
    // The window is closed from the event loop right after the first rows reach
    // the list. By then the walk can be no further on than the batches of two
    // drains of the UI's queue, the batches waiting after them and the one
    // being filled: fewer rows than the volume holds, so it is still running.
    constexpr int kMany = 120000;
    static_assert(kMany > (1 + 3 * TScanThread::kQueuedBatches) * TScanThread::kBatchRows);
    Open(kMany);
    bool closeQueued = false, runningAtClose = false;
    qint64 closeMs = -1;
    QObject::connect(w_->ListView1Model(), &QAbstractItemModel::rowsInserted, w_.get(), [&] {
        if (closeQueued) return;
        closeQueued = true;
        QTimer::singleShot(0, w_.get(), [&] {
            runningAtClose = ScanRunning.load() && w_->HasWorkers();
            QElapsedTimer t;
            t.start();
            w_->close();
            closeMs = t.elapsed();
        });
    });
    w_->btnScanClick();
    ASSERT_TRUE(WaitUntil([&] { return closeMs >= 0; }));
    QObject::disconnect(w_->ListView1Model(), nullptr, w_.get(), nullptr);
    EXPECT_TRUE(runningAtClose);
    EXPECT_LT(closeMs, 5000);
    EXPECT_FALSE(w_->HasWorkers());
    EXPECT_FALSE(ScanRunning);
    EXPECT_LT(w_->ListView1Model()->Count(), kMany);
    // The window works on afterwards.
    w_->show();
    ASSERT_TRUE(ScanToEnd(*w_));
    EXPECT_EQ(w_->ListView1Model()->Count(), kMany);
}

TEST_F(WorkerLifetimeTest, DestroyingDuringRecoveryEndsCleanly) {
    ASSERT_TRUE(ScanToEnd(*w_));
    TickFirst(100);
    w_->btnRecoverClick();
    ASSERT_TRUE(WaitUntil([&] { return w_->PB->value() >= 2; }));
    ASSERT_TRUE(RecoverRunning);
    w_.reset();
    EXPECT_FALSE(RecoverRunning);
}

TEST_F(WorkerLifetimeTest, ListCommandsDuringRecoveryThenScanAtItsEnd) {
    ASSERT_TRUE(ScanToEnd(*w_));
    TickFirst(100);
    bool rescanned = false;
    QObject::connect(w_.get(), &TfMain::RecoverEnded, [&] { w_->btnScanClick(); });
    QObject::connect(w_.get(), &TfMain::ScanEnded, [&] { rescanned = true; });
    QObject::connect(w_->PB, &QProgressBar::valueChanged, [&](int v) {
        if (RecoverRunning && v % 20 == 1) {  // the ticked count stays, the places move
            w_->btn2Click();
            w_->ListView1ColumnClick(v % 6);
            w_->btn2Click();
        }
    });
    w_->btnRecoverClick();
    ASSERT_TRUE(WaitUntil([&] { return rescanned; }, 60000));
    EXPECT_FALSE(RecoverRunning || ScanRunning || w_->HasWorkers());
    EXPECT_EQ(w_->ListView1Model()->Count(), kFiles);
}

}  // namespace
}  // namespace qm::guitest
