// The main window's native Windows face: the seed's window built from the
// common controls, drawn from the window model and forwarding every user
// action to it. No toolkit beyond the Windows API.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h:
#include <commctrl.h>

#include <string>
#include <vector>

#include "app/model/WindowModel.h"

namespace qm::win32 {

// Control identifiers; the window test finds the controls by them.
enum ControlId : int {
    kIdListView1 = 1001,
    kIdGrp1,
    kIdBtn1,
    kIdBtn2,
    kIdLbl1,
    kIdLabel1,
    kIdDriveList,
    kIdBtnScan,
    kIdDriveIcon,
    kIdDriveTitle,
    kIdDriveName,
    kIdDriveSerial,
    kIdDriveSize,
    kIdDriveMftLocation,
    kIdDriveMftSize,
    kIdDriveMftRecordsCount,
    kIdDeleteFileCount,
    kIdBevel1,
    kIdLabel2,
    kIdEdPath,
    kIdDcb,
    kIdDlb,
    kIdRadioGroup1,
    kIdRb1,
    kIdRb2,
    kIdCheckBox1,
    kIdBtnRecover,
    kIdPb,
};

// The window class name of TfMain.
inline constexpr wchar_t kWindowClass[] = L"TfMain";

// UTF-8 / the ANSI code page <-> UTF-16.
std::wstring WideOfUtf8(const std::string& text);
std::wstring WideOfAnsi(const std::string& text);
std::string AnsiOfWide(const std::wstring& text);

struct Win32Startup {
    std::vector<std::string> images;  // ANSI, listed after the drives
    std::wstring startDirectory;      // default: the current directory
};

class TfMainWin final : public window::WindowView, private window::RowStoreListener {
public:
    explicit TfMainWin(Win32Startup startup);
    ~TfMainWin() override;
    TfMainWin(const TfMainWin&) = delete;
    TfMainWin& operator=(const TfMainWin&) = delete;

    // Registers the class, creates and shows the window; false on failure.
    bool Create(HINSTANCE instance, int show);
    HWND Handle() const { return hwnd_; }
    window::WindowModel& Model() { return model_; }
    // Runs the message loop until the window is gone; returns the exit code.
    static int Run(HWND hwnd);

private:
    // WindowView
    void SetDrives(const std::vector<std::string>& sources) override;
    void SetLabel(window::Label which, const std::string& text) override;
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

    // RowStoreListener
    void AfterAppend() override;
    void AfterReset() override;
    void ChecksChanged(int first, int last) override;
    void TextChanged(int row, int column) override;
    void ColumnChanged(int column) override;
    void AfterSort(const std::vector<int>& newPlace) override;

    static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
    void OnCreate();
    void CreateFonts();
    void CreateListControls();
    void CreateDrivePanel();
    void CreateOutputPanel();
    void CreateLabels();
    HWND Make(const wchar_t* cls, const std::wstring& text, DWORD style, int id, int x, int y,
              int w, int h, DWORD exStyle = 0, HFONT font = nullptr);
    void OnCommand(int id, int code);
    LRESULT OnNotify(NMHDR* header);
    void OnGetDispInfo(NMLVDISPINFOW* info);
    void ToggleRows(const std::vector<int>& rows);
    void Paint();
    HBRUSH StaticColour(HDC dc, HWND control);
    void Command(void (window::WindowModel::*command)());

    // The drive chooser and the folder list of the output folder.
    void FillDriveChooser();
    void SetDirectory(const std::wstring& path);
    void OnDriveChosen();
    void OnFolderOpened();

    window::WindowModel model_;
    Win32Startup startup_;
    HWND hwnd_ = nullptr;
    HFONT font_ = nullptr, bold_ = nullptr, title_ = nullptr;
    HBRUSH white_ = nullptr;
    std::wstring directory_;
    std::vector<std::wstring> dirEntries_;  // the folder of each DLB line
    std::vector<std::wstring> driveRoots_;  // the root of each DCB entry
    std::wstring textBuffer_;               // what LVN_GETDISPINFO hands out
};

}  // namespace qm::win32
