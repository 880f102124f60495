// quillmere.exe [--scan] [IMAGE...]
//
// Opens the window. Image files named here are listed after the drives when
// they hold an NTFS volume (whole-disk images: one entry per NTFS partition).
// --scan selects the first entry and starts a scan.
#include "app/win32/Win32Window.h"
// After windows.h:
#include <shellapi.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    qm::win32::Win32Startup startup;
    bool scan = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--scan")
            scan = true;
        else
            startup.images.push_back(qm::win32::AnsiOfWide(arg));
    }
    LocalFree(argv);

    qm::win32::TfMainWin window(std::move(startup));
    if (!window.Create(instance, show)) return 1;
    HWND hwnd = window.Handle();
    if (scan && SendDlgItemMessageW(hwnd, qm::win32::kIdDriveList, LB_GETCOUNT, 0, 0) > 0) {
        SendDlgItemMessageW(hwnd, qm::win32::kIdDriveList, LB_SETCURSEL, 0, 0);
        PostMessageW(GetDlgItem(hwnd, qm::win32::kIdBtnScan), BM_CLICK, 0, 0);
    }
    return qm::win32::TfMainWin::Run(hwnd);
}
