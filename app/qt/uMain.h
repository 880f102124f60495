// The main window's Qt face: the layout, and the window model's commands
// bound to the controls. What the window decides is in app/model.
#pragma once

#include <QWidget>
#include <atomic>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/model/WindowModel.h"
#include "app/qt/Controls.h"
#include "app/qt/ResultModel.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTableView;
class QVBoxLayout;

class TfMain;
// The one window, set before its creation handler runs.
extern TfMain* fMain;

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

class TfMain : public QWidget, private qm::window::WindowView {
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

    qm::gui::ResultModel* ListView1Model() const { return listModel_; }

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

    qm::VolumeGeometry VolumeGeometry() const { return model_.VolumeGeometry(); }
    qm::window::WindowModel& Model() { return model_; }

    // Asks every worker to stop, waits until each has ended, and leaves the
    // window idle. Runs when the window closes.
    void StopWorkers() { model_.StopWorkers(); }
    bool HasWorkers() const { return model_.HasWorkers(); }

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

public slots:
    // Runs the steps the workers have queued for the window.
    void DrainQueue();

signals:
    void ScanEnded();
    void RecoverEnded();

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // WindowView
    void SetDrives(const std::vector<std::string>& sources) override;
    void SetLabel(qm::window::Label which, const std::string& text) override;
    void SetScanCaption(const std::string& text) override;
    void SetRecoverCaption(const std::string& text) override;
    void EnableScan(bool enabled) override;
    void EnableRecover(bool enabled) override;
    void SetProgressRange(int maximum) override;
    void SetProgress(int value) override;
    void SetPathText(const std::string& folder) override;
    void ShowMessage(const std::string& text) override;
    bool AskYesNo(const std::string& text) override;
    void ShowError(const std::string& text) override;
    int SelectedDrive() const override;
    bool SaveByName() const override;
    bool SelectAllDeleted() const override;
    std::string Folder() const override;
    bool FolderIsOnSource(const std::string& folder, const std::string& source) override;
    void OnScanEnded() override { emit ScanEnded(); }
    void OnRecoverEnded() override { emit RecoverEnded(); }

    void BuildControls();
    void BuildList(QVBoxLayout* layout);
    void BuildDrivePanel(QVBoxLayout* layout);
    void BuildOutputPanel();
    void Connect();
    void SetTabOrder();
    QLabel* LabelOf(qm::window::Label which) const;
    void SetLabelText(QLabel* label, const QString& text);

    StartupOptions options_;
    qm::window::WindowModel model_;
    qm::gui::ResultModel* listModel_ = nullptr;
};
