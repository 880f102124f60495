#include "app/win32/Win32Window.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>

namespace qm::win32 {
namespace {

constexpr UINT kDrainMessage = WM_APP + 1;
constexpr int kClientWidth = 859, kClientHeight = 576;
// The list fills what the two bottom parts leave; they keep their heights.
constexpr int kGroupTop = kClientHeight - 222 - 50, kPanelTop = kClientHeight - 222;

std::wstring Convert(UINT codePage, const std::string& text) {
    if (text.empty()) return {};
    const int n =
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(std::max(n, 0)), L'\0');
    if (n > 0)
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

}  // namespace

std::wstring WideOfUtf8(const std::string& text) {
    return Convert(CP_UTF8, text);
}

std::wstring WideOfAnsi(const std::string& text) {
    return Convert(CP_ACP, text);
}

std::string AnsiOfWide(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(n, 0)), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                            nullptr, nullptr);
    return out;
}

TfMainWin::TfMainWin(Win32Startup startup) : model_(*this), startup_(std::move(startup)) {}

TfMainWin::~TfMainWin() {
    model_.StopWorkers();
    model_.Rows().SetListener(nullptr);
    for (HGDIOBJ o : {static_cast<HGDIOBJ>(font_), static_cast<HGDIOBJ>(bold_),
                      static_cast<HGDIOBJ>(title_), static_cast<HGDIOBJ>(white_)})
        if (o) DeleteObject(o);
}

bool TfMainWin::Create(HINSTANCE instance, int show) {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS |
                                             ICC_STANDARD_CLASSES | ICC_USEREX_CLASSES};
    InitCommonControlsEx(&icc);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &TfMainWin::WndProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    wc.hIconSm = wc.hIcon;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kWindowClass;
    RegisterClassExW(&wc);

    // No maximise box and a fixed frame: the layout is the seed's, in pixels.
    // Without WS_CLIPCHILDREN: the group boxes leave their insides to the window.
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT r{0, 0, kClientWidth, kClientHeight};
    AdjustWindowRectEx(&r, style, FALSE, WS_EX_CONTROLPARENT);
    hwnd_ = CreateWindowExW(WS_EX_CONTROLPARENT, kWindowClass, WideOfUtf8(kWindowCaption).c_str(),
                            style, 125, 88, r.right - r.left, r.bottom - r.top, nullptr, nullptr,
                            instance, this);
    if (!hwnd_) return false;
    ShowWindow(hwnd_, show);
    UpdateWindow(hwnd_);
    return true;
}

int TfMainWin::Run(HWND hwnd) {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (IsDialogMessageW(hwnd, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

LRESULT CALLBACK TfMainWin::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* self = static_cast<TfMainWin*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
        self->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<TfMainWin*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    return self ? self->Handle(msg, wp, lp) : DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT TfMainWin::Handle(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_CREATE:
            OnCreate();
            return 0;
        case kDrainMessage:
            model_.Queue().Drain();
            return 0;
        case WM_COMMAND:
            OnCommand(LOWORD(wp), HIWORD(wp));
            return 0;
        case WM_NOTIFY:
            return OnNotify(reinterpret_cast<NMHDR*>(lp));
        case WM_PAINT:
            Paint();
            return 0;
        case WM_CTLCOLORSTATIC:
            return reinterpret_cast<LRESULT>(
                StaticColour(reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp)));
        case WM_SETTINGCHANGE:
            if (lp && std::wstring(reinterpret_cast<const wchar_t*>(lp)) == L"intl")
                model_.SetLocaleFormats(qm::ReadLocaleFormats());
            break;
        case WM_CLOSE:
            model_.StopWorkers();
            DestroyWindow(hwnd_);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd_, msg, wp, lp);
}

// ---- Controls ------------------------------------------------------------------------------

HWND TfMainWin::Make(const wchar_t* cls, const std::wstring& text, DWORD style, int id, int x,
                     int y, int w, int h, DWORD exStyle, HFONT font) {
    HWND c = CreateWindowExW(exStyle, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, x, y, w, h,
                             hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                             GetModuleHandleW(nullptr), nullptr);
    SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font ? font : font_), FALSE);
    return c;
}

void TfMainWin::CreateFonts() {
    auto make = [](int height, int weight) {
        return CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                           OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                           DEFAULT_PITCH | FF_SWISS, L"Tahoma");
    };
    font_ = make(-11, FW_NORMAL);
    bold_ = make(-11, FW_BOLD);
    title_ = make(-17, FW_BOLD);
    white_ = CreateSolidBrush(RGB(255, 255, 255));
}

void TfMainWin::OnCreate() {
    CreateFonts();
    model_.Rows().SetListener(this);
    model_.Queue().SetWake([hwnd = hwnd_] { PostMessageW(hwnd, kDrainMessage, 0, 0); });
    model_.SetLocaleFormats(qm::ReadLocaleFormats());
    // Created in the tab order: the window's z-order is its tab order.
    CreateDrivePanel();
    CreateOutputPanel();
    CreateListControls();
    CreateLabels();
    if (startup_.startDirectory.empty()) {
        wchar_t cwd[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, cwd);
        startup_.startDirectory = cwd;
    }
    FillDriveChooser();
    SetDirectory(startup_.startDirectory);
    model_.FormCreate({startup_.images, {}});
    SetFocus(GetDlgItem(hwnd_, kIdBtnScan));
}

void TfMainWin::CreateDrivePanel() {
    const int t = kPanelTop;
    HWND scan = Make(L"BUTTON", L"扫描磁盘", WS_TABSTOP | BS_PUSHBUTTON, kIdBtnScan, 16, t + 165,
                     121, 35, 0, bold_);
    (void)scan;
    Make(L"LISTBOX", L"", WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT, kIdDriveList,
         16, t + 24, 121, 135, WS_EX_CLIENTEDGE);
    // The progress bar keeps its place in the chain though it takes no focus.
    Make(PROGRESS_CLASSW, L"", 0, kIdPb, 2, kClientHeight - 16 - 2, kClientWidth - 4, 16);
}

void TfMainWin::CreateOutputPanel() {
    const int t = kPanelTop;
    Make(L"LISTBOX", L"", WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT, kIdDlb, 432,
         t + 57, 226, 97, WS_EX_CLIENTEDGE);
    Make(L"COMBOBOX", L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, kIdDcb, 432, t + 32, 226,
         200);
    Make(L"BUTTON", L"文件保存方式", BS_GROUPBOX, kIdRadioGroup1, 664, t + 32, 185, 99);
    HWND rb1 = Make(L"BUTTON", L"按原名保存(可能会覆盖)",
                    WS_TABSTOP | WS_GROUP | BS_AUTORADIOBUTTON, kIdRb1, 680, t + 64, 153, 17);
    Make(L"BUTTON", L"按\"File_编号\"保存", BS_AUTORADIOBUTTON, kIdRb2, 680, t + 95, 113, 17);
    SendMessageW(rb1, BM_SETCHECK, BST_CHECKED, 0);
    Make(L"BUTTON", L"恢复选中文件", WS_TABSTOP | WS_GROUP | BS_PUSHBUTTON, kIdBtnRecover, 432,
         t + 160, 417, 40, 0, bold_);
    Make(L"EDIT", L"", WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL, kIdEdPath, 519, t + 5, 330, 21,
         WS_EX_CLIENTEDGE);
    Make(L"BUTTON", L"选中所有的删除文件", WS_TABSTOP | BS_AUTOCHECKBOX, kIdCheckBox1, 664, t + 137,
         185, 17);
}

void TfMainWin::CreateListControls() {
    HWND list = Make(WC_LISTVIEWW, L"", WS_TABSTOP | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS,
                     kIdListView1, 0, 0, kClientWidth, kGroupTop, WS_EX_CLIENTEDGE);
    ListView_SetExtendedListViewStyle(
        list, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_DOUBLEBUFFER);
    ListView_SetCallbackMask(list, LVIS_STATEIMAGEMASK);
    for (int c = 0; c < window::RowStore::kColumns; ++c) {
        std::wstring caption = WideOfUtf8(window::RowStore::ColumnCaption(c));
        LVCOLUMNW col{};
        col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
        col.fmt = LVCFMT_LEFT;
        col.cx = window::RowStore::ColumnWidth(c);
        col.pszText = caption.data();
        ListView_InsertColumn(list, c, &col);
    }
    Make(L"BUTTON", L"操作", BS_GROUPBOX, kIdGrp1, 0, kGroupTop, kClientWidth, 50);
    Make(L"BUTTON", L"全选", WS_TABSTOP | BS_PUSHBUTTON, kIdBtn1, 32, kGroupTop + 15, 75, 25);
    Make(L"BUTTON", L"反选", WS_TABSTOP | BS_PUSHBUTTON, kIdBtn2, 120, kGroupTop + 15, 75, 25);
}

void TfMainWin::CreateLabels() {
    const int t = kPanelTop;
    Make(L"STATIC", L"Quillmere 团队", SS_LEFT, kIdLbl1, 728, kGroupTop + 24, 110, 14);
    Make(L"STATIC", L"NTFS格式磁盘列表:", SS_LEFT, kIdLabel1, 16, t + 8, 121, 14);
    HWND icon = Make(L"STATIC", L"", SS_ICON | SS_CENTERIMAGE, kIdDriveIcon, 161, t + 10, 32, 32);
    SendMessageW(
        icon, STM_SETICON,
        reinterpret_cast<WPARAM>(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1))), 0);
    Make(L"STATIC", L"磁盘信息", SS_CENTER | SS_CENTERIMAGE, kIdDriveTitle, 191, t + 11, 186, 32, 0,
         title_);
    const struct {
        int id;
        const wchar_t* text;
    } labels[] = {
        {kIdDriveName, L"名称: 未知"},           {kIdDriveSerial, L"序号: 未知"},
        {kIdDriveSize, L"大小: 未知"},           {kIdDriveMftLocation, L"MFT位置: 未知"},
        {kIdDriveMftSize, L"MFT大小: 未知"},     {kIdDriveMftRecordsCount, L"总文件数: 0"},
        {kIdDeleteFileCount, L"删除的文件数：0"}};
    int y = t + 60;
    for (const auto& l : labels) {
        Make(L"STATIC", l.text, SS_LEFT | SS_NOPREFIX, l.id, 161, y, 232, 14, 0, bold_);
        y += 19;
    }
    Make(L"STATIC", L"", SS_ETCHEDVERT, kIdBevel1, 416, t + 6, 4, 194);
    Make(L"STATIC", L"文件保存路径:", SS_LEFT, kIdLabel2, 432, t + 6, 86, 14, 0, bold_);
}

void TfMainWin::Paint() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd_, &ps);
    // Panel1's raised edge, the white information box and its separator.
    RECT panel{0, kPanelTop, kClientWidth, kClientHeight};
    DrawEdge(dc, &panel, BDR_RAISEDINNER, BF_RECT);
    auto box = [dc](RECT r, COLORREF outline) {
        HPEN pen = CreatePen(PS_SOLID, 1, outline);
        HGDIOBJ oldPen = SelectObject(dc, pen);
        HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(WHITE_BRUSH));
        Rectangle(dc, r.left, r.top, r.right, r.bottom);
        SelectObject(dc, oldBrush);
        SelectObject(dc, oldPen);
        DeleteObject(pen);
    };
    box({153, kPanelTop + 4, 153 + 246, kPanelTop + 4 + 196}, RGB(0, 0, 0));
    box({153, kPanelTop + 48, 153 + 246, kPanelTop + 48 + 6}, RGB(128, 128, 128));
    EndPaint(hwnd_, &ps);
}

HBRUSH TfMainWin::StaticColour(HDC dc, HWND control) {
    const int id = GetDlgCtrlID(control);
    if (id >= kIdDriveIcon && id <= kIdDeleteFileCount) {
        SetBkColor(dc, RGB(255, 255, 255));
        return white_;
    }
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
    return GetSysColorBrush(COLOR_BTNFACE);
}

// ---- Events ----------------------------------------------------------------------------------

void TfMainWin::Command(void (window::WindowModel::*command)()) {
    model_.RunCommand([this, command] { (model_.*command)(); });
}

void TfMainWin::OnCommand(int id, int code) {
    switch (id) {
        case kIdBtnScan:
            if (code == BN_CLICKED) Command(&window::WindowModel::btnScanClick);
            break;
        case kIdBtnRecover:
            if (code == BN_CLICKED) Command(&window::WindowModel::btnRecoverClick);
            break;
        case kIdBtn1:
            if (code == BN_CLICKED) Command(&window::WindowModel::btn1Click);
            break;
        case kIdBtn2:
            if (code == BN_CLICKED) Command(&window::WindowModel::btn2Click);
            break;
        case kIdCheckBox1:
            if (code == BN_CLICKED) Command(&window::WindowModel::CheckBox1Click);
            break;
        case kIdDcb:
            if (code == CBN_SELCHANGE) OnDriveChosen();
            break;
        case kIdDlb:
            if (code == LBN_DBLCLK) OnFolderOpened();
            break;
        default:
            break;
    }
}

LRESULT TfMainWin::OnNotify(NMHDR* header) {
    if (header->idFrom != static_cast<UINT_PTR>(kIdListView1)) return 0;
    HWND list = header->hwndFrom;
    switch (header->code) {
        case LVN_GETDISPINFOW:
            OnGetDispInfo(reinterpret_cast<NMLVDISPINFOW*>(header));
            return 0;
        case LVN_COLUMNCLICK: {
            const int column = reinterpret_cast<NMLISTVIEW*>(header)->iSubItem;
            model_.RunCommand([this, column] { model_.ListView1ColumnClick(column); });
            return 0;
        }
        case NM_CLICK: {
            LVHITTESTINFO hit{};
            hit.pt = reinterpret_cast<NMITEMACTIVATE*>(header)->ptAction;
            if (ListView_HitTest(list, &hit) >= 0 && (hit.flags & LVHT_ONITEMSTATEICON))
                ToggleRows({hit.iItem});
            return 0;
        }
        case LVN_KEYDOWN:
            if (reinterpret_cast<NMLVKEYDOWN*>(header)->wVKey == VK_SPACE) {
                std::vector<int> rows;
                for (int i = ListView_GetNextItem(list, -1, LVNI_SELECTED); i >= 0;
                     i = ListView_GetNextItem(list, i, LVNI_SELECTED))
                    rows.push_back(i);
                ToggleRows(rows);
            }
            return 0;
        default:
            return 0;
    }
}

void TfMainWin::ToggleRows(const std::vector<int>& rows) {
    window::RowStore& store = model_.Rows();
    for (int r : rows)
        if (r >= 0 && r < store.Count()) store.SetChecked(r, !store.Checked(r));
}

void TfMainWin::OnGetDispInfo(NMLVDISPINFOW* info) {
    LVITEMW& item = info->item;
    const window::RowStore& store = model_.Rows();
    if (item.iItem < 0 || item.iItem >= store.Count()) return;
    if (item.mask & LVIF_TEXT) {
        // Names are shown as the ANSI code page reads them.
        textBuffer_ = WideOfAnsi(std::string(store.Text(item.iItem, item.iSubItem)));
        if (item.cchTextMax > 0) {
            const std::size_t n = std::min<std::size_t>(
                textBuffer_.size(), static_cast<std::size_t>(item.cchTextMax) - 1);
            std::copy_n(textBuffer_.data(), n, item.pszText);
            item.pszText[n] = L'\0';
        }
    }
    if ((item.mask & LVIF_STATE) && item.iSubItem == 0) {
        item.state = INDEXTOSTATEIMAGEMASK(store.Checked(item.iItem) ? 2 : 1);
        item.stateMask = LVIS_STATEIMAGEMASK;
    }
}

// ---- RowStoreListener
// ----------------------------------------------------------------------------

void TfMainWin::AfterAppend() {
    ListView_SetItemCountEx(GetDlgItem(hwnd_, kIdListView1), model_.Rows().Count(),
                            LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
}

void TfMainWin::AfterReset() {
    ListView_SetItemCountEx(GetDlgItem(hwnd_, kIdListView1), 0, 0);
}

void TfMainWin::ChecksChanged(int first, int last) {
    ListView_RedrawItems(GetDlgItem(hwnd_, kIdListView1), first, last);
}

void TfMainWin::TextChanged(int row, int) {
    ListView_RedrawItems(GetDlgItem(hwnd_, kIdListView1), row, row);
}

void TfMainWin::ColumnChanged(int) {
    InvalidateRect(GetDlgItem(hwnd_, kIdListView1), nullptr, FALSE);
}

void TfMainWin::AfterSort(const std::vector<int>&) {
    InvalidateRect(GetDlgItem(hwnd_, kIdListView1), nullptr, FALSE);
}

// ---- WindowView
// ----------------------------------------------------------------------------------

void TfMainWin::SetDrives(const std::vector<std::string>& sources) {
    HWND list = GetDlgItem(hwnd_, kIdDriveList);
    SendMessageW(list, LB_RESETCONTENT, 0, 0);
    for (const std::string& s : sources)
        SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(WideOfAnsi(s).c_str()));
    SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(-1), 0);
}

void TfMainWin::SetLabel(window::Label which, const std::string& text) {
    static constexpr int kIds[] = {kIdDriveName,        kIdDriveSerial,  kIdDriveSize,
                                   kIdDriveMftLocation, kIdDriveMftSize, kIdDriveMftRecordsCount,
                                   kIdDeleteFileCount};
    SetDlgItemTextW(hwnd_, kIds[static_cast<int>(which)], WideOfUtf8(text).c_str());
}

void TfMainWin::SetScanCaption(const std::string& text) {
    SetDlgItemTextW(hwnd_, kIdBtnScan, WideOfUtf8(text).c_str());
}

void TfMainWin::SetRecoverCaption(const std::string& text) {
    SetDlgItemTextW(hwnd_, kIdBtnRecover, WideOfUtf8(text).c_str());
}

void TfMainWin::EnableScan(bool enabled) {
    EnableWindow(GetDlgItem(hwnd_, kIdBtnScan), enabled);
}

void TfMainWin::EnableRecover(bool enabled) {
    EnableWindow(GetDlgItem(hwnd_, kIdBtnRecover), enabled);
}

void TfMainWin::SetProgressRange(int maximum) {
    HWND pb = GetDlgItem(hwnd_, kIdPb);
    SendMessageW(pb, PBM_SETRANGE32, 0, maximum);
    SendMessageW(pb, PBM_SETPOS, 0, 0);
}

void TfMainWin::SetProgress(int value) {
    SendMessageW(GetDlgItem(hwnd_, kIdPb), PBM_SETPOS, static_cast<WPARAM>(value), 0);
}

void TfMainWin::SetPathText(const std::string&) {
    // The folder as the folder list holds it, not its 8-bit form.
    SetDlgItemTextW(hwnd_, kIdEdPath, directory_.c_str());
}

void TfMainWin::ShowMessage(const std::string& text) {
    MessageBoxW(hwnd_, WideOfUtf8(text).c_str(), WideOfUtf8(kApplicationTitle).c_str(), MB_OK);
}

bool TfMainWin::AskYesNo(const std::string& text) {
    return MessageBoxW(hwnd_, WideOfUtf8(text).c_str(), WideOfUtf8(kApplicationTitle).c_str(),
                       MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

void TfMainWin::ShowError(const std::string& text) {
    MessageBoxW(hwnd_, WideOfUtf8(text).c_str(), WideOfUtf8(kApplicationTitle).c_str(),
                MB_OK | MB_ICONERROR);
}

int TfMainWin::SelectedDrive() const {
    return static_cast<int>(SendDlgItemMessageW(hwnd_, kIdDriveList, LB_GETCURSEL, 0, 0));
}

bool TfMainWin::SaveByName() const {
    return IsDlgButtonChecked(hwnd_, kIdRb1) == BST_CHECKED;
}

bool TfMainWin::SelectAllDeleted() const {
    return IsDlgButtonChecked(hwnd_, kIdCheckBox1) == BST_CHECKED;
}

std::string TfMainWin::Folder() const {
    return AnsiOfWide(directory_);
}

bool TfMainWin::FolderIsOnSource(const std::string& folder, const std::string& source) {
    return qm::FolderIsOnSource(folder, source);
}

// ---- The output folder
// ---------------------------------------------------------------------------

void TfMainWin::FillDriveChooser() {
    HWND dcb = GetDlgItem(hwnd_, kIdDcb);
    SendMessageW(dcb, CB_RESETCONTENT, 0, 0);
    driveRoots_.clear();
    const DWORD drives = GetLogicalDrives();
    for (int i = 0; i < 26; ++i) {
        if (!(drives & (1u << i))) continue;
        std::wstring root = {static_cast<wchar_t>(L'A' + i), L':', L'\\'};
        std::wstring text = {static_cast<wchar_t>(L'a' + i), L':'};
        wchar_t label[MAX_PATH + 1] = {};
        const UINT type = GetDriveTypeW(root.c_str());
        if (type != DRIVE_REMOVABLE &&
            GetVolumeInformationW(root.c_str(), label, MAX_PATH, nullptr, nullptr, nullptr, nullptr,
                                  0) &&
            label[0]) {
            std::wstring l = label;
            CharLowerBuffW(l.data(), static_cast<DWORD>(l.size()));
            text += L" [" + l + L"]";
        }
        driveRoots_.push_back(root);
        SendMessageW(dcb, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
}

void TfMainWin::SetDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
    wchar_t full[MAX_PATH] = {};
    if (!GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr)) return;
    directory_ = full;
    // A root keeps its separator; any other folder loses a trailing one.
    if (directory_.size() > 3 && directory_.back() == L'\\') directory_.pop_back();

    HWND dlb = GetDlgItem(hwnd_, kIdDlb);
    SendMessageW(dlb, LB_RESETCONTENT, 0, 0);
    dirEntries_.clear();
    auto add = [&](const std::wstring& folder, const std::wstring& text, int level) {
        dirEntries_.push_back(folder);
        const std::wstring line = std::wstring(static_cast<std::size_t>(level) * 2, L' ') + text;
        SendMessageW(dlb, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
    };
    // The folders from the root down to this one, then this one's subfolders.
    int level = 0;
    std::size_t at = directory_.find(L'\\');
    add(directory_.substr(0, at + 1), directory_.substr(0, at + 1), level++);
    while (at != std::wstring::npos && at + 1 < directory_.size()) {
        const std::size_t next = directory_.find(L'\\', at + 1);
        const std::wstring folder = directory_.substr(0, next);
        add(folder, folder.substr(at + 1), level++);
        at = next;
    }
    const int current = static_cast<int>(dirEntries_.size()) - 1;
    std::vector<std::wstring> subfolders;
    WIN32_FIND_DATAW fd;
    const std::wstring base = directory_.back() == L'\\' ? directory_ : directory_ + L"\\";
    HANDLE find = FindFirstFileW((base + L"*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = fd.cFileName;
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name != L"." && name != L"..")
                subfolders.push_back(name);
        } while (FindNextFileW(find, &fd));
        FindClose(find);
    }
    std::sort(subfolders.begin(), subfolders.end());
    for (const std::wstring& s : subfolders) add(base + s, s, level);
    SendMessageW(dlb, LB_SETCURSEL, static_cast<WPARAM>(current), 0);

    // The drive chooser follows the folder.
    for (std::size_t i = 0; i < driveRoots_.size(); ++i)
        if (CompareStringOrdinal(driveRoots_[i].c_str(), 2, directory_.c_str(), 2, TRUE) ==
            CSTR_EQUAL)
            SendDlgItemMessageW(hwnd_, kIdDcb, CB_SETCURSEL, i, 0);
    model_.RunCommand([this] { model_.DLBChange(); });
}

void TfMainWin::OnDriveChosen() {
    const LRESULT i = SendDlgItemMessageW(hwnd_, kIdDcb, CB_GETCURSEL, 0, 0);
    if (i >= 0 && static_cast<std::size_t>(i) < driveRoots_.size())
        SetDirectory(driveRoots_[static_cast<std::size_t>(i)]);
}

void TfMainWin::OnFolderOpened() {
    const LRESULT i = SendDlgItemMessageW(hwnd_, kIdDlb, LB_GETCURSEL, 0, 0);
    if (i >= 0 && static_cast<std::size_t>(i) < dirEntries_.size())
        SetDirectory(dirEntries_[static_cast<std::size_t>(i)]);
}

}  // namespace qm::win32
