// The window's scan worker: runs the volume set-up and the deleted-file walk
// on a thread of its own and hands the rows and every other window update to
// the UI thread, in order.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/ResultModel.h"
#include "app/UiStream.h"
#include "platform/Platform.h"
#include "scan/DateText.h"
#include "scan/ScanEngine.h"

class TfMain;

namespace qm::gui {

// The date formats in force, read again when the regional settings change.
// Rows keep the texts they were given; later rows use the new formats.
class DateFormatsHolder {
public:
    DateFormatsHolder();
    void Set(const LocaleFormats& formats);
    std::shared_ptr<const LocaleFormats> Get() const;
    std::uint64_t Generation() const { return generation_.load(); }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const LocaleFormats> formats_;
    std::atomic<std::uint64_t> generation_{0};
};

// The six texts of a row as the list shows them.
RowTexts RowTextsOf(const ScanRow& row, FileTimeFormatter& times);

}  // namespace qm::gui

class TScanThread final : public qm::gui::WorkerThread {
    Q_OBJECT
public:
    // Rows are handed over at least this often, and in batches of at most this many.
    static constexpr int kBatchMilliseconds = 30;
    static constexpr std::size_t kBatchRows = 8192;
    // Batches waiting for the UI thread before the walk waits for it.
    static constexpr int kQueuedBatches = 4;

    // Starts at once unless `createSuspended`; `drive` is the source to scan.
    TScanThread(bool createSuspended, std::string drive, TfMain* window);
    ~TScanThread() override;

    // UI thread: appends a batch of rows to ListView1 and shows the new count.
    void AddRow(const std::vector<qm::gui::RowTexts>& rows);

protected:
    void run() override;

private:
    class Observer;

    const std::string drive_;
    TfMain* const window_;
};
