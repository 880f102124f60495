// The main window: start-up and drive discovery, the layout, the scan and
// recover commands and the commands on the result list.
#pragma once

#include <QWidget>
#include <atomic>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/Controls.h"
#include "app/ResultModel.h"
#include "app/UiStream.h"
#include "ntfs/uNTFS.h"
#include "platform/Platform.h"
#include "scan/uScanThread.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTableView;

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

// The column the list was sorted by last (0 to 5); 0 at start.
extern std::int32_t SortColumn;

class TfMain;
// The one window, set before its creation handler runs.
extern TfMain* fMain;

// An error that escapes a command, shown by the application's error handler.
class ListIndexError : public std::out_of_range {
public:
    explicit ListIndexError(int index);
};

// The error box's text: the message, with a "." added when its last
// character sorts after ".".
QString ErrorBoxText(const QString& message);

// What start-up discovers. The defaults are the system's; tests put their own.
struct StartupOptions {
    // Image files named on the command line, listed after the drives.
    std::vector<std::string> images;
    // The fixed drives to probe, in order.
    std::function<std::vector<std::string>()> fixedDrives;
    // The drives of the drive chooser.
    std::function<std::vector<qm::gui::DriveEntry>()> mountedDrives;
    // The folder the directory list starts in (default: the current directory).
    QString startDirectory;
};

class TfMain : public QWidget {
    Q_OBJECT
public:
    explicit TfMain(StartupOptions options = {}, QWidget* parent = nullptr);
    ~TfMain() override;

    // ---- Controls --------------------------------------------------------------
    QTableView* ListView1 = nullptr;
    QGroupBox* grp1 = nullptr;
    QPushButton* btn1 = nullptr;
    QPushButton* btn2 = nullptr;
    QLabel* lbl1 = nullptr;
    qm::gui::TPanel* Panel1 = nullptr;
    QLabel* Label1 = nullptr;
    QListWidget* DriveList = nullptr;
    QPushButton* btnScan = nullptr;
    qm::gui::TShape* Drive_Background = nullptr;
    qm::gui::TShape* Drive_BackgroundSeparator = nullptr;
    QLabel* Drive_Icon = nullptr;
    QLabel* Drive_Title = nullptr;
    QLabel* DriveName = nullptr;
    QLabel* DriveSerial = nullptr;
    QLabel* DriveSize = nullptr;
    QLabel* DriveMFTLocation = nullptr;
    QLabel* DriveMFTSize = nullptr;
    QLabel* DriveMFTRecordsCount = nullptr;
    QLabel* DeleteFileCount = nullptr;
    QFrame* Bevel1 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* edPath = nullptr;
    qm::gui::TDriveComboBox* DCB = nullptr;
    qm::gui::TDirectoryListBox* DLB = nullptr;
    QGroupBox* RadioGroup1 = nullptr;
    QRadioButton* rb1 = nullptr;
    QRadioButton* rb2 = nullptr;
    QCheckBox* CheckBox1 = nullptr;
    QPushButton* btnRecover = nullptr;
    QProgressBar* PB = nullptr;

    qm::gui::ResultModel* ListView1Model() const { return model_; }

    // ---- Start-up ----------------------------------------------------------------
    void FormCreate();
    // The boot sector's four OEM bytes of `drive`, or "" when it cannot be
    // opened; shows the drive's label and serial number on the way.
    std::string ReadOemId(const std::string& drive);

    // ---- Commands -------------------------------------------------------------------
    void btnScanClick();
    void btnRecoverClick();
    void btn1Click();
    void btn2Click();
    void CheckBox1Click();
    void DLBChange();
    void ListView1ColumnClick(int column);
    // Orders two rows (by their place in the list) by the column SortColumn names.
    int ListView1Compare(int rowA, int rowB) const;

    // ---- What the workers reach on the UI thread ------------------------------------------
    qm::gui::UiStream& Stream() { return *stream_; }
    const qm::gui::DateFormatsHolder& DateFormats() const { return dateFormats_; }
    void SetDriveLabel(qm::DriveLabel which, const std::string& text);
    void SetLabelText(QLabel* label, const QString& text);
    qm::VolumeGeometry VolumeGeometry() const { return geometry_; }
    void SetVolumeGeometry(const qm::VolumeGeometry& g) { geometry_ = g; }
    // The source and geometry of the rows in the list, set when a scan's walk
    // empties the list. A recovery reads the rows' records from there, not
    // from whatever source is selected by then.
    void SetRowsSource(const std::string& source, const qm::VolumeGeometry& g);

    struct RecoverRowQuery {
        int index = -1;  // -1: no ticked row left
        std::string caption, name, folder;
        bool byName = true;
    };
    // The first ticked row at or after `from` (and before `limit`), with the
    // naming mode and the folder as they stand now.
    RecoverRowQuery NextTickedRow(int from, int limit) const;

    // Deletes a worker whose end has reached the window.
    void ReleaseWorker(qm::gui::WorkerThread* worker);
    // Asks every worker to stop, waits until each has ended, and leaves the
    // window idle. Runs when the window closes.
    void StopWorkers();
    bool HasWorkers() const { return !workers_.empty(); }

    // ---- Dialogs and system hooks (tests replace them) --------------------------------------
    // A modal box with one OK button, titled with the application title.
    std::function<void(const QString&)> showMessage;
    // A modal question with Yes and No; true for Yes.
    std::function<bool(const QString&)> askYesNo;
    // The application's error handler: a modal error box.
    std::function<void(const QString&)> showError;
    std::function<bool(const std::string& folder, const std::string& source)> folderIsOnSource;
    std::function<qm::LocaleFormats()> readLocaleFormats;

    // Runs a command, handing an error that escapes it to showError.
    void RunCommand(const std::function<void()>& command);

signals:
    void ScanEnded();
    void RecoverEnded();

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    void SetTabOrder();
    std::string SelectedDrive() const;  // throws ListIndexError without a selection

    StartupOptions options_;
    qm::gui::ResultModel* model_ = nullptr;
    qm::gui::UiStream* stream_ = nullptr;
    qm::gui::DateFormatsHolder dateFormats_;
    qm::VolumeGeometry geometry_{};
    std::string rowsSource_;
    qm::VolumeGeometry rowsGeometry_{};
    std::vector<qm::gui::WorkerThread*> workers_;
};
