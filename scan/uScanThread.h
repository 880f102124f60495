// The window's scan worker: runs the volume set-up and the deleted-file walk
// on a thread of its own and reports the rows and every other window update
// through ScanReport, in order. It knows nothing of the window itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Platform.h"
#include "scan/DateText.h"
#include "scan/ScanEngine.h"

namespace qm::gui {

// No folder text for the row (yet).
inline constexpr std::uint32_t kNoFolder = 0xFFFFFFFF;

// A result row: its six texts, in column order, in the 8-bit code page, and
// what the two columns after them are drawn from.
struct RowTexts {
    std::string caption;  // "0x" + record position
    std::string name;
    std::string type;
    std::string size;
    std::string created;
    std::string modified;
    // Per cent of the file's clusters still free, or qm::kRecoverableUnknown.
    std::uint8_t recoverable = kRecoverableUnknown;
    // The row's folder: a place in the folder texts handed over once the
    // walk has ended (ScanReport::OnScanFolders), or kNoFolder.
    std::uint32_t folder = kNoFolder;
};

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

// The row as the list shows it; its folder is left to the caller.
RowTexts RowTextsOf(const ScanRow& row, FileTimeFormatter& times);

}  // namespace qm::gui

class TScanThread;

// What the scan worker tells the window, called on the worker's thread in the
// order things happen. The receiver hands each report to its UI thread.
class ScanReport {
public:
    virtual ~ScanReport() = default;
    virtual void OnScanLabel(qm::DriveLabel which, const std::string& text) = 0;
    virtual void OnScanGeometry(const qm::VolumeGeometry& g) = 0;
    // The walk starts: the list is emptied for the rows of `source`.
    virtual void OnWalkStart(const std::string& source, const qm::VolumeGeometry& g,
                             std::int64_t recordCount) = 0;
    // Rows and the walk's progress so far. Waits while `queuedLimit` batches
    // are waiting for the UI thread.
    virtual void OnScanBatch(std::vector<qm::gui::RowTexts>&& rows,
                             std::optional<std::int64_t> progress, int queuedLimit) = 0;
    // After a walk that ran to its end, before OnScanEnd: the texts of the
    // folders the rows' `folder` places name, in the 8-bit code page ("/A/B",
    // "/" for the root, "$Orphan" or "$Orphan/B" for an orphan). A walk that
    // was stopped hands over none: the folders it did not reach would make
    // orphans of files that are not.
    virtual void OnScanFolders(std::vector<std::string>&& folders) = 0;
    // Before OnScanEnd, when the set-up read the volume through a copy in place
    // of a damaged or unreadable original: the backup boot sector, $MFTMirr's
    // record 0, or (neither record 0 serving) the MFT taken as one run.
    virtual void OnScanCopies(qm::BootCopy boot, qm::LayoutSource layout) = 0;
    // The last report: `walked` unless the set-up stopped (or the source did
    // not open). The receiver joins and deletes `worker` on its UI thread.
    virtual void OnScanEnd(TScanThread* worker, bool walked) = 0;
    // The formats new rows' dates are written with.
    virtual const qm::gui::DateFormatsHolder& DateFormats() const = 0;
};

class TScanThread final {
public:
    // Rows are handed over at least this often, and in batches of at most this many.
    static constexpr int kBatchMilliseconds = 30;
    static constexpr std::size_t kBatchRows = 8192;
    // Batches waiting for the UI thread before the walk waits for it.
    static constexpr int kQueuedBatches = 4;

    // Starts at once unless `createSuspended`; `drive` is the source to scan,
    // `stop` is polled by the walk.
    TScanThread(bool createSuspended, std::string drive, ScanReport& report,
                const std::atomic<bool>& stop);
    ~TScanThread();
    TScanThread(const TScanThread&) = delete;
    TScanThread& operator=(const TScanThread&) = delete;

    void Start();
    // Returns once the thread has ended (at once when it never started).
    void Join();

private:
    class Observer;
    void Run();

    const std::string drive_;
    ScanReport& report_;
    const std::atomic<bool>& stop_;
    std::thread thread_;
};
