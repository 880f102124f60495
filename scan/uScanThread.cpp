#include "scan/uScanThread.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <chrono>
#include <climits>

#include "app/uMain.h"
#include "scan/DateText.h"

namespace qm::gui {

DateFormatsHolder::DateFormatsHolder() : formats_(std::make_shared<const LocaleFormats>()) {}

void DateFormatsHolder::Set(const LocaleFormats& formats) {
    auto next = std::make_shared<const LocaleFormats>(formats);
    std::lock_guard lock(mutex_);
    formats_ = std::move(next);
    generation_.fetch_add(1);
}

std::shared_ptr<const LocaleFormats> DateFormatsHolder::Get() const {
    std::lock_guard lock(mutex_);
    return formats_;
}

RowTexts RowTextsOf(const ScanRow& row, FileTimeFormatter& times) {
    RowTexts t;
    t.caption = PositionText(row.position);
    t.name = Utf16ToAnsi(row.name);
    t.type = ExtensionOf(t.name, &IsDbcsLeadByte);
    t.size = DecimalText(static_cast<std::int64_t>(row.size));
    t.created = times.Text(row.created);
    t.modified = times.Text(row.modified);
    return t;
}

}  // namespace qm::gui

using qm::gui::RowTexts;
using Clock = std::chrono::steady_clock;

// Collects what the walk reports and passes it on to the UI thread: rows in
// batches, everything else as it comes, all in one ordered stream.
class TScanThread::Observer final : public qm::ScanObserver {
public:
    explicit Observer(TScanThread* thread)
        : thread_(thread),
          window_(thread->window_),
          stream_(window_->Stream()),
          formatsHolder_(window_->DateFormats()),
          formats_(formatsHolder_.Get()),
          formatsGeneration_(formatsHolder_.Generation()) {}

    void OnLabel(qm::DriveLabel which, const std::string& text) override {
        Flush();
        TfMain* w = window_;
        stream_.Post([w, which, text] { w->SetDriveLabel(which, text); });
    }

    void OnGeometry(const qm::VolumeGeometry& g) override {
        Flush();
        geometry_ = g;
        TfMain* w = window_;
        stream_.Post([w, g] { w->SetVolumeGeometry(g); });
    }

    void OnWalkStart(std::int64_t recordCount) override {
        Flush();
        TfMain* w = window_;
        stream_.Post([w, recordCount, source = thread_->drive_, g = geometry_] {
            w->ListView1Model()->Clear();
            w->SetRowsSource(source, g);
            const std::int64_t steps = recordCount > 16 ? recordCount - 16 : 0;
            w->PB->setMaximum(static_cast<int>(std::min<std::int64_t>(steps, INT_MAX)));
            w->PB->setMinimum(0);
            w->PB->setValue(0);
            w->btnScan->setText(QString::fromUtf8("停止扫描"));
            w->btnRecover->setEnabled(false);
        });
        lastFlush_ = Clock::now();
    }

    void OnRow(qm::ScanRow&& row) override {
        if (formatsHolder_.Generation() != formatsGeneration_) {
            formatsGeneration_ = formatsHolder_.Generation();
            formats_ = formatsHolder_.Get();
            times_ = qm::FileTimeFormatter(*formats_);
        }
        batch_.push_back(qm::gui::RowTextsOf(row, times_));
        if (batch_.size() >= kBatchRows || Due()) Flush();
    }

    void OnProgress(std::int64_t done) override {
        progress_ = done;
        progressPending_ = true;
        if (Due()) Flush();
    }

    void Flush() {
        lastFlush_ = Clock::now();
        if (batch_.empty() && !progressPending_) return;
        TScanThread* t = thread_;
        TfMain* w = window_;
        const bool hasProgress = progressPending_;
        const int progress = static_cast<int>(std::min<std::int64_t>(progress_, INT_MAX));
        stream_.PostBounded(
            [t, w, rows = std::move(batch_), hasProgress, progress] {
                if (!rows.empty()) t->AddRow(rows);
                if (hasProgress) w->PB->setValue(progress);
            },
            kQueuedBatches);
        batch_.clear();
        progressPending_ = false;
    }

private:
    bool Due() const {
        return Clock::now() - lastFlush_ >= std::chrono::milliseconds(kBatchMilliseconds);
    }

    TScanThread* const thread_;
    TfMain* const window_;
    qm::gui::UiStream& stream_;
    qm::VolumeGeometry geometry_{};
    const qm::gui::DateFormatsHolder& formatsHolder_;
    std::shared_ptr<const qm::LocaleFormats> formats_;
    std::uint64_t formatsGeneration_;
    qm::FileTimeFormatter times_{*formats_};
    std::vector<RowTexts> batch_;
    std::int64_t progress_ = 0;
    bool progressPending_ = false;
    Clock::time_point lastFlush_ = Clock::now();
};

TScanThread::TScanThread(bool createSuspended, std::string drive, TfMain* window)
    : drive_(std::move(drive)), window_(window) {
    if (!createSuspended) start();
}

TScanThread::~TScanThread() = default;

void TScanThread::AddRow(const std::vector<RowTexts>& rows) {
    qm::gui::ResultModel* model = window_->ListView1Model();
    model->AppendRows(rows);
    window_->SetLabelText(window_->DeleteFileCount,
                          QString::fromUtf8("删除的文件数：") + QString::number(model->Count()));
}

void TScanThread::run() {
    ArmExitSignal();
    ScanRunning.store(true);

    bool walked = false;
    if (auto volume = qm::OpenRawVolume(drive_)) {
        Observer observer(this);
        qm::ScanSummary summary = qm::RunScan(**volume, observer, ScanStopRequested);
        observer.Flush();
        walked = summary.setup.stop == qm::SetupStop::None;
    }
    // A set-up that stops, an open failure included, ends silently and leaves
    // the list and the buttons as they were.

    TfMain* w = window_;
    TScanThread* self = this;
    w->Stream().Post([w, self, walked] {
        ScanRunning.store(false);
        if (walked) {
            w->btnScan->setText(QString::fromUtf8("扫描磁盘"));
            w->btnRecover->setEnabled(true);
        }
        w->ReleaseWorker(self);
        emit w->ScanEnded();
    });
    // Nothing of this object may be touched from here on: the UI thread deletes it.
}
