// The window's recovery worker: visits the result list in display order and
// writes out the ticked rows' files into the output folder.
#pragma once

#include <cstdint>
#include <string>

#include "app/UiStream.h"
#include "ntfs/uNTFS.h"

class TfMain;

class TRecoverThread final : public qm::gui::WorkerThread {
    Q_OBJECT
public:
    // Starts at once unless `createSuspended`. `drive` is read, `tickedCount`
    // is the progress bar's maximum, `geometry` is the worker's own copy.
    TRecoverThread(bool createSuspended, std::string drive, std::int32_t tickedCount,
                   qm::VolumeGeometry geometry, TfMain* window);
    ~TRecoverThread() override;

protected:
    void run() override;

private:
    const qm::VolumeGeometry geometry_;
    const std::int32_t tickedCount_;
    const std::string drive_;
    TfMain* const window_;
};
