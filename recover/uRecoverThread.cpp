#include "recover/uRecoverThread.h"

#include <cerrno>

TRecoverThread::TRecoverThread(bool createSuspended, std::string drive, std::int32_t tickedCount,
                               qm::VolumeGeometry geometry, RecoverReport& report,
                               const std::atomic<bool>& stop)
    : geometry_(geometry),
      tickedCount_(tickedCount),
      drive_(std::move(drive)),
      report_(report),
      stop_(stop) {
    if (!createSuspended) Start();
}

TRecoverThread::~TRecoverThread() {
    Join();
}

void TRecoverThread::Start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
}

void TRecoverThread::Join() {
    if (thread_.joinable()) thread_.join();
}

bool TRecoverThread::EndsRecovery(const qm::RecoverResult& result) {
    if (result.status == qm::RecoverStatus::SourceFailed) return true;
    if (result.status != qm::RecoverStatus::OutputFailed) return false;
#ifdef _WIN32
    // ERROR_HANDLE_DISK_FULL, ERROR_DISK_FULL
    return result.systemError == 39 || result.systemError == 112;
#else
    return result.systemError == ENOSPC || result.systemError == EDQUOT;
#endif
}

qm::RecoverResult TRecoverThread::RecoverOne(const RecoverRowQuery& row, const qm::MftMap* mft) {
    const std::string path =
        row.byName ? qm::OutputPathByName(row.folder, row.name)
                   : qm::OutputPathByNumber(row.folder, static_cast<std::uint64_t>(row.index));
    auto volume = qm::OpenRawVolume(drive_);
    if (!volume) {
        qm::RecoverResult failed;
        failed.status = qm::RecoverStatus::OpenFailed;
        return failed;
    }
    qm::RecoverOptions options;
    options.cancel = &report_.Closing();
    options.mft = mft;
    options.times = true;  // the file keeps the modification and access times it had
    return qm::RecoverRecord(**volume, row.caption, geometry_, path, qm::DefaultOutputFactory(),
                             options);
}

void TRecoverThread::Run() {
    report_.OnRecoverStart(tickedCount_);

    // The rows present now; rows are addressed by their place in the list as
    // it is shown when the worker reaches them.
    const std::optional<int> rows = report_.RowCount();
    // The MFT's layout, read once: a record split over two MFT fragments is
    // read from both.
    std::optional<qm::MftMap> mft;
    if (auto volume = qm::OpenRawVolume(drive_)) {
        qm::SetupResult layout = qm::ReadVolumeLayout(**volume);
        if (layout.info) mft = std::move(layout.info->map);
    }
    int i = 0;
    while (rows && i < *rows) {
        if (stop_.load()) break;
        // Ticks, caption, name, naming mode and folder as they stand when the
        // worker reaches the row. The rows up to the next ticked one are passed
        // over in the same moment, as the worker would pass them one by one.
        auto next = report_.NextTickedRow(i, *rows);
        if (!next || next->index < 0) break;
        const qm::RecoverResult result = RecoverOne(*next, mft ? &*mft : nullptr);
        report_.OnFileDone(*next, result);
        if (EndsRecovery(result)) break;
        i = next->index + 1;
    }

    (void)qm::DefaultOutputFactory().Finish();  // one flush for the whole recovery

    report_.OnRecoverEnd(this);
    // Nothing of this object may be touched from here on: the UI thread deletes it.
}
