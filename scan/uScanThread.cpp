#include "scan/uScanThread.h"

#include <chrono>
#include <unordered_map>

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
    t.recoverable = row.recoverable;
    return t;
}

}  // namespace qm::gui

using qm::gui::RowTexts;
using Clock = std::chrono::steady_clock;

// Collects what the walk reports and passes it on: rows in batches,
// everything else as it comes, all in one ordered stream.
class TScanThread::Observer final : public qm::ScanObserver {
public:
    Observer(const std::string& source, ScanReport& report)
        : source_(source),
          report_(report),
          formatsHolder_(report.DateFormats()),
          formats_(formatsHolder_.Get()),
          formatsGeneration_(formatsHolder_.Generation()) {}

    void OnLabel(qm::DriveLabel which, const std::string& text) override {
        Flush();
        report_.OnScanLabel(which, text);
    }

    void OnGeometry(const qm::VolumeGeometry& g) override {
        Flush();
        geometry_ = g;
        report_.OnScanGeometry(g);
    }

    void OnWalkStart(std::int64_t recordCount) override {
        Flush();
        report_.OnWalkStart(source_, geometry_, recordCount);
        lastFlush_ = Clock::now();
    }

    void OnRow(qm::ScanRow&& row) override {
        // The list shows files: deleted folders and streams have no row there.
        if (row.kind != qm::RowKind::File) return;
        if (formatsHolder_.Generation() != formatsGeneration_) {
            formatsGeneration_ = formatsHolder_.Generation();
            formats_ = formatsHolder_.Get();
            times_ = qm::FileTimeFormatter(*formats_);
        }
        batch_.push_back(qm::gui::RowTextsOf(row, times_));
        batch_.back().folder = FolderPlace(row.parent);
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
        std::optional<std::int64_t> progress;
        if (progressPending_) progress = progress_;
        std::vector<RowTexts> rows;
        rows.swap(batch_);
        report_.OnScanBatch(std::move(rows), progress, kQueuedBatches);
        progressPending_ = false;
    }

    // The texts of the folders the rows were given places of, now that the
    // walk has resolved them.
    std::vector<std::string> FolderTexts(const qm::FolderTable& folders) const {
        std::vector<std::string> texts;
        texts.reserve(parents_.size());
        for (std::uint64_t parent : parents_) {
            const qm::FolderPath path = folders.PathOf(parent);
            texts.push_back(path.text.empty() ? std::string("/") : qm::Utf16ToAnsi(path.text));
        }
        return texts;
    }

private:
    bool Due() const {
        return Clock::now() - lastFlush_ >= std::chrono::milliseconds(kBatchMilliseconds);
    }

    const std::string& source_;
    ScanReport& report_;
    qm::VolumeGeometry geometry_{};
    const qm::gui::DateFormatsHolder& formatsHolder_;
    std::shared_ptr<const qm::LocaleFormats> formats_;
    std::uint64_t formatsGeneration_;
    qm::FileTimeFormatter times_{*formats_};
    std::vector<RowTexts> batch_;
    std::int64_t progress_ = 0;
    bool progressPending_ = false;
    Clock::time_point lastFlush_ = Clock::now();
    // Each parent reference the rows named, once, in the order first met.
    std::vector<std::uint64_t> parents_;
    std::unordered_map<std::uint64_t, std::uint32_t> places_;
    std::uint64_t lastParent_ = 0;
    std::uint32_t lastPlace_ = qm::gui::kNoFolder;

    // Files of one folder mostly come one after another: the last place is kept.
    std::uint32_t FolderPlace(std::uint64_t parent) {
        if (lastPlace_ != qm::gui::kNoFolder && parent == lastParent_) return lastPlace_;
        auto [it, added] = places_.try_emplace(parent, static_cast<std::uint32_t>(parents_.size()));
        if (added) parents_.push_back(parent);
        lastParent_ = parent;
        lastPlace_ = it->second;
        return lastPlace_;
    }
};

TScanThread::TScanThread(bool createSuspended, std::string drive, ScanReport& report,
                         const std::atomic<bool>& stop)
    : drive_(std::move(drive)), report_(report), stop_(stop) {
    if (!createSuspended) Start();
}

TScanThread::~TScanThread() {
    Join();
}

void TScanThread::Start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
}

void TScanThread::Join() {
    if (thread_.joinable()) thread_.join();
}

void TScanThread::Run() {
    bool walked = false;
    if (auto volume = qm::OpenRawVolume(drive_)) {
        Observer observer(drive_, report_);
        qm::ScanSummary summary = qm::RunScan(**volume, observer, stop_);
        observer.Flush();
        walked = summary.setup.stop == qm::SetupStop::None;
        if (walked && (summary.setup.boot != qm::BootCopy::Primary ||
                       summary.setup.layout != qm::LayoutSource::Record0))
            report_.OnScanCopies(summary.setup.boot, summary.setup.layout);
        if (walked && !summary.stopped && summary.folders)
            report_.OnScanFolders(observer.FolderTexts(*summary.folders));
    }
    // A set-up that stops, an open failure included, ends silently and leaves
    // the list and the buttons as they were.
    report_.OnScanEnd(this, walked);
    // Nothing of this object may be touched from here on: the UI thread deletes it.
}
