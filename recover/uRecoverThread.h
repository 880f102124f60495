// The window's recovery worker: visits the result list in display order and
// writes out the ticked rows' files into the output folder. It reaches the
// list through RecoverReport and knows nothing of the window itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "ntfs/uNTFS.h"
#include "recover/RecoverRecord.h"

class TRecoverThread;

// The first ticked row at or after a place in the list, with the naming mode
// and the output folder as they stand at that moment.
struct RecoverRowQuery {
    int index = -1;  // -1: no ticked row left
    std::string caption, name, folder;
    bool byName = true;
};

// What the recovery worker asks and tells the window, called on the worker's
// thread. Questions are answered on the UI thread; nullopt when the window is
// closing.
class RecoverReport {
public:
    virtual ~RecoverReport() = default;
    // The progress bar runs from 0 to `tickedCount`.
    virtual void OnRecoverStart(std::int32_t tickedCount) = 0;
    virtual std::optional<int> RowCount() = 0;
    // The first ticked row in [from, limit).
    virtual std::optional<RecoverRowQuery> NextTickedRow(int from, int limit) = 0;
    // One ticked row's fate; the progress bar steps.
    virtual void OnFileDone(const RecoverRowQuery& row, const qm::RecoverResult& result) = 0;
    // The last report. The receiver joins and deletes `worker` on its UI thread.
    virtual void OnRecoverEnd(TRecoverThread* worker) = 0;
    // Raised while the window closes: a file being written gives up.
    virtual const std::atomic<bool>& Closing() const = 0;
};

class TRecoverThread final {
public:
    // Starts at once unless `createSuspended`. `drive` is read, `tickedCount`
    // is the progress bar's maximum, `geometry` is the worker's own copy,
    // `stop` is polled between files.
    TRecoverThread(bool createSuspended, std::string drive, std::int32_t tickedCount,
                   qm::VolumeGeometry geometry, RecoverReport& report,
                   const std::atomic<bool>& stop);
    ~TRecoverThread();
    TRecoverThread(const TRecoverThread&) = delete;
    TRecoverThread& operator=(const TRecoverThread&) = delete;

    void Start();
    // Returns once the thread has ended (at once when it never started).
    void Join();

    // A result after which no further file is tried: the source stopped
    // answering, or the output's disk is full.
    static bool EndsRecovery(const qm::RecoverResult& result);

private:
    void Run();
    qm::RecoverResult RecoverOne(const RecoverRowQuery& row, const qm::MftMap* mft);

    const qm::VolumeGeometry geometry_;
    const std::int32_t tickedCount_;
    const std::string drive_;
    RecoverReport& report_;
    const std::atomic<bool>& stop_;
    std::thread thread_;
};
