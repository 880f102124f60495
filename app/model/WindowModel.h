// The main window's model, shared by every face: start-up and drive
// discovery, the scan and recover commands, the commands on the result list,
// the run and stop flags, the rows, and the ordered hand-off from the workers.
// It decides; a face (Qt, Win32) draws the controls through WindowView and
// forwards the user's actions to the commands here. No toolkit.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/model/RowStore.h"
#include "app/model/UiQueue.h"
#include "ntfs/uNTFS.h"
#include "platform/Platform.h"
#include "recover/RecoverRecord.h"
#include "recover/uRecoverThread.h"
#include "scan/uScanThread.h"

// "Quillmere数据恢复工具": message boxes carry it as their title.
extern const char* const kApplicationTitle;
// "Quillmere数据恢复软件 1.0.0.0"
extern const char* const kWindowCaption;

// The shared run flags. Each running flag is raised by its command just before
// a worker starts and lowered when the worker's end reaches the window; each
// stop flag is raised by a second press of its button and polled by the worker.
extern std::atomic<bool> ScanRunning;
extern std::atomic<bool> ScanStopRequested;
extern std::atomic<bool> RecoverRunning;
extern std::atomic<bool> RecoverStopRequested;

// The column the list was sorted by last (0 to 7); 0 at start.
extern std::int32_t SortColumn;

// An error that escapes a command, shown by the application's error handler.
class ListIndexError : public std::out_of_range {
public:
    explicit ListIndexError(int index);
};

namespace qm::window {

// The error box's text: the message, with a "." added when its last
// character sorts after ".".
std::string ErrorBoxText(const std::string& message);

// The labels of the drive information box.
enum class Label {
    DriveName,
    DriveSerial,
    DriveSize,
    MftLocation,
    MftSize,
    RecordsCount,
    DeleteFileCount
};

// What a face does for the model, always on the UI thread. Texts are UTF-8
// unless said otherwise; paths and sources are in the 8-bit code page.
class WindowView {
public:
    virtual ~WindowView() = default;
    // ---- Drawing ------------------------------------------------------------------
    // The sources of the drive list, in order; none selected.
    virtual void SetDrives(const std::vector<std::string>& sources) = 0;
    virtual void SetLabel(Label which, const std::string& text) = 0;
    virtual void SetScanCaption(const std::string& text) = 0;
    virtual void SetRecoverCaption(const std::string& text) = 0;
    virtual void EnableScan(bool enabled) = 0;
    virtual void EnableRecover(bool enabled) = 0;
    virtual void SetProgressRange(int maximum) = 0;  // from 0; the value goes to 0
    virtual void SetProgress(int value) = 0;
    virtual void SetPathText(const std::string& folder) = 0;
    // ---- Dialogs ------------------------------------------------------------------
    virtual void ShowMessage(const std::string& text) = 0;
    virtual bool AskYesNo(const std::string& text) = 0;
    virtual void ShowError(const std::string& text) = 0;
    // ---- The controls' state as it stands ------------------------------------------
    virtual int SelectedDrive() const = 0;  // -1: none
    virtual bool SaveByName() const = 0;    // rb1 rather than rb2
    virtual bool SelectAllDeleted() const = 0;
    virtual std::string Folder() const = 0;
    // ---- System hooks ---------------------------------------------------------------
    virtual bool FolderIsOnSource(const std::string& folder, const std::string& source) = 0;
    // ---- Ends of the workers, after the model has updated the controls ---------------
    virtual void OnScanEnded() {}
    virtual void OnRecoverEnded() {}
};

// What start-up probes.
struct StartupSources {
    // Image files named on the command line, listed after the drives.
    std::vector<std::string> images;
    // The fixed drives to probe, in order (default: the system's).
    std::function<std::vector<std::string>()> fixedDrives;
};

// How a recovery went, file by file.
struct RecoverTally {
    static constexpr std::size_t kReasons = 3;
    int written = 0;  // whole
    int damaged = 0;  // written, with unreadable parts
    int givenUp = 0;  // nothing written
    // The first reasons, "name: reason", UTF-8.
    std::vector<std::string> reasons;
    // The reason the recovery ended before the last ticked row, or "".
    std::string endedBy;

    void Add(const std::string& name8, const RecoverResult& result, bool ended);
};
// The reason for one file's fate in the window's language, UTF-8; "" for a whole file.
std::string RecoverReasonText(const RecoverResult& result);
// The box at the end of a recovery, or "" when every file was written whole.
std::string RecoverEndMessage(const RecoverTally& tally);
// The box at the end of a scan that read the volume through the copies
// named, or "" when it read the originals.
std::string ScanCopiesMessage(BootCopy boot, LayoutSource layout);

class WindowModel final : public ScanReport, public RecoverReport {
public:
    explicit WindowModel(WindowView& view);
    ~WindowModel() override;
    WindowModel(const WindowModel&) = delete;
    WindowModel& operator=(const WindowModel&) = delete;

    RowStore& Rows() { return rows_; }
    const RowStore& Rows() const { return rows_; }
    UiQueue& Queue() { return queue_; }
    const std::vector<std::string>& Sources() const { return sources_; }

    // ---- Start-up ----------------------------------------------------------------
    // Probes the fixed drives, then the images (each NTFS partition of a
    // whole-disk image), lists those that hold NTFS, and leaves the window idle.
    void FormCreate(const StartupSources& sources);
    // The boot sector's four OEM bytes of `drive`, or "" when it cannot be
    // opened; shows the drive's label and serial number on the way.
    std::string ReadOemId(const std::string& drive);
    // The regional settings changed (or are read for the first time).
    void SetLocaleFormats(const LocaleFormats& formats) { dateFormats_.Set(formats); }

    // ---- Commands -------------------------------------------------------------------
    // Runs a command, handing an error that escapes it to the error box.
    void RunCommand(const std::function<void()>& command);
    void btnScanClick();
    void btnRecoverClick();
    void btn1Click();       // tick all
    void btn2Click();       // invert the ticks
    void CheckBox1Click();  // every row ticked or none, as the box says
    void DLBChange();       // the output folder changed
    void ListView1ColumnClick(int column);
    // Orders two rows (by their place in the list) by the column SortColumn names.
    int ListView1Compare(int rowA, int rowB) const;

    // Asks every worker to stop, waits until each has ended, and leaves the
    // window idle. Runs when the window closes.
    void StopWorkers();
    bool HasWorkers() const { return !scans_.empty() || !recovers_.empty(); }

    qm::VolumeGeometry VolumeGeometry() const { return geometry_; }
    // How the last recovery that reached its end went.
    const RecoverTally& LastRecovery() const { return tally_; }

    // ---- ScanReport (worker thread) -------------------------------------------------
    void OnScanLabel(DriveLabel which, const std::string& text) override;
    void OnScanGeometry(const qm::VolumeGeometry& g) override;
    void OnWalkStart(const std::string& source, const qm::VolumeGeometry& g,
                     std::int64_t recordCount) override;
    void OnScanBatch(std::vector<RowTexts>&& rows, std::optional<std::int64_t> progress,
                     int queuedLimit) override;
    void OnScanFolders(std::vector<std::string>&& folders) override;
    void OnScanCopies(BootCopy boot, LayoutSource layout) override;
    void OnScanEnd(TScanThread* worker, bool walked) override;
    const gui::DateFormatsHolder& DateFormats() const override { return dateFormats_; }

    // ---- RecoverReport (worker thread) ----------------------------------------------
    void OnRecoverStart(std::int32_t tickedCount) override;
    std::optional<int> RowCount() override;
    std::optional<RecoverRowQuery> NextTickedRow(int from, int limit) override;
    void OnFileDone(const RecoverRowQuery& row, const RecoverResult& result) override;
    void OnRecoverEnd(TRecoverThread* worker) override;
    const std::atomic<bool>& Closing() const override { return queue_.ClosingFlag(); }

private:
    std::string SelectedSource() const;  // throws ListIndexError without a selection
    RecoverRowQuery TickedRowAt(int from, int limit) const;
    void SetDriveLabel(DriveLabel which, const std::string& text);
    void SetLabel(Label which, const std::string& text);
    void ScanIdle();
    void RecoverIdle();
    template <typename W>
    void Release(std::vector<std::unique_ptr<W>>& list, W* worker);

    WindowView& view_;
    RowStore rows_;
    UiQueue queue_;
    gui::DateFormatsHolder dateFormats_;
    std::vector<std::string> sources_;
    qm::VolumeGeometry geometry_{};
    // The source and geometry of the rows in the list, set when a scan's walk
    // empties the list. A recovery reads the rows' records from there, not
    // from whatever source is selected by then.
    std::string rowsSource_;
    qm::VolumeGeometry rowsGeometry_{};
    int progress_ = 0;
    std::string scanNotice_;  // said when the scan ends, then cleared
    RecoverTally tally_;
    std::vector<std::unique_ptr<TScanThread>> scans_;
    std::vector<std::unique_ptr<TRecoverThread>> recovers_;
};

}  // namespace qm::window
