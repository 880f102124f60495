// Drives quillmere.exe from outside, as a user would, through the window's own
// messages: starts it on an image, presses scan, checks the rows, captions and
// columns against the command line's listing, ticks, sorts, selects all and
// inverts, and recovers by name and by number, comparing MD5s with the image
// maker's manifest.
//
//   quillmere_window_test QUILLMERE.EXE IMAGE MANIFEST.TSV SCAN.TSV OUTDIR [SYNCDIR]
//
// SCAN.TSV is `quillmere-cli scan IMAGE`. With SYNCDIR the test writes
// SYNCDIR\screenshot.ready after the scan and waits for SYNCDIR\screenshot.done.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h:
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/win32/Win32Window.h"
#include "recover/Md5.h"

namespace fs = std::filesystem;
using namespace qm::win32;

namespace {

int g_failures = 0;

void Check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok) ++g_failures;
}

std::string Utf8(const std::wstring& w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr,
                        nullptr);
    return out;
}

// Polls `done` every 50 ms for at most `seconds`: the window is another
// process, so there is no event of its to wait on.
bool WaitFor(const std::function<bool()>& done, int seconds = 120) {
    for (int i = 0; i < seconds * 20; ++i) {
        if (done()) return true;
        Sleep(50);
    }
    return done();
}

std::vector<std::vector<std::string>> ReadTsv(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::vector<std::string> fields;
        std::stringstream ss(line);
        for (std::string f; std::getline(ss, f, '\t');) fields.push_back(f);
        rows.push_back(fields);
    }
    return rows;
}

std::string FileMd5(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return qm::Md5Hex(std::string_view(data));
}

// Memory in the window's process, for the list view messages that carry pointers.
class Remote {
public:
    Remote(HANDLE process, std::size_t size) : process_(process) {
        base_ = static_cast<char*>(
            VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    }
    ~Remote() { VirtualFreeEx(process_, base_, 0, MEM_RELEASE); }
    char* At(std::size_t offset) const { return base_ + offset; }
    void Write(const void* data, std::size_t n, std::size_t offset = 0) {
        WriteProcessMemory(process_, base_ + offset, data, n, nullptr);
    }
    void Read(void* data, std::size_t n, std::size_t offset = 0) const {
        ReadProcessMemory(process_, base_ + offset, data, n, nullptr);
    }

private:
    HANDLE process_;
    char* base_ = nullptr;
};

class Driver {
public:
    Driver(HWND window, HANDLE process) : w_(window), process_(process) {}
    HWND Item(int id) const { return GetDlgItem(w_, id); }
    std::string Text(int id) const {
        wchar_t buf[1024] = {};
        GetWindowTextW(Item(id), buf, 1024);
        return Utf8(buf);
    }
    int Rows() const {
        return static_cast<int>(SendMessageW(Item(kIdListView1), LVM_GETITEMCOUNT, 0, 0));
    }
    std::string Cell(int row, int column) const {
        Remote r(process_, sizeof(LVITEMW) + 2048);
        LVITEMW item{};
        item.iSubItem = column;
        item.pszText = reinterpret_cast<wchar_t*>(r.At(sizeof(LVITEMW)));
        item.cchTextMax = 1000;
        r.Write(&item, sizeof item);
        SendMessageW(Item(kIdListView1), LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                     reinterpret_cast<LPARAM>(r.At(0)));
        wchar_t text[1001] = {};
        r.Read(text, 2000, sizeof(LVITEMW));
        return Utf8(text);
    }
    std::pair<std::string, int> Column(int column) const {
        Remote r(process_, sizeof(LVCOLUMNW) + 512);
        LVCOLUMNW col{};
        col.mask = LVCF_TEXT | LVCF_WIDTH;
        col.pszText = reinterpret_cast<wchar_t*>(r.At(sizeof(LVCOLUMNW)));
        col.cchTextMax = 200;
        r.Write(&col, sizeof col);
        SendMessageW(Item(kIdListView1), LVM_GETCOLUMNW, static_cast<WPARAM>(column),
                     reinterpret_cast<LPARAM>(r.At(0)));
        r.Read(&col, sizeof col);
        wchar_t text[201] = {};
        r.Read(text, 400, sizeof(LVCOLUMNW));
        return {Utf8(text), col.cx};
    }
    void Select(int row) const {
        Remote r(process_, sizeof(LVITEMW));
        LVITEMW item{};
        item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        item.state = 0;
        r.Write(&item, sizeof item);
        SendMessageW(Item(kIdListView1), LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                     reinterpret_cast<LPARAM>(r.At(0)));
        item.state = LVIS_SELECTED | LVIS_FOCUSED;
        r.Write(&item, sizeof item);
        SendMessageW(Item(kIdListView1), LVM_SETITEMSTATE, static_cast<WPARAM>(row),
                     reinterpret_cast<LPARAM>(r.At(0)));
    }
    // Space on a selected row toggles its tick, as the keyboard would.
    void Tick(int row) const {
        Select(row);
        SendMessageW(Item(kIdListView1), WM_KEYDOWN, VK_SPACE, 0);
        SendMessageW(Item(kIdListView1), WM_KEYUP, VK_SPACE, 0);
    }
    void ClickHeader(int column) const {
        HWND header = reinterpret_cast<HWND>(SendMessageW(Item(kIdListView1), LVM_GETHEADER, 0, 0));
        int x = 10;
        for (int c = 0; c < column; ++c) x += Column(c).second;
        SendMessageW(header, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, 5));
        SendMessageW(header, WM_LBUTTONUP, 0, MAKELPARAM(x, 5));
    }
    void Press(int id) const { PostMessageW(Item(id), BM_CLICK, 0, 0); }
    void PressAndWait(int id) const { SendMessageW(Item(id), BM_CLICK, 0, 0); }
    // The message box the window shows: its title and text; it is closed.
    std::pair<std::string, std::string> TakeMessageBox() const;

private:
    HWND w_;
    HANDLE process_;
};

// The longest text of a Static child of `box`: a message box's message.
std::string BoxMessage(HWND box) {
    std::string text;
    EnumChildWindows(
        box,
        [](HWND child, LPARAM out) -> BOOL {
            wchar_t cls[32] = {}, buf[1024] = {};
            GetClassNameW(child, cls, 32);
            GetWindowTextW(child, buf, 1024);
            auto* t = reinterpret_cast<std::string*>(out);
            if (std::wstring(cls) == L"Static" && Utf8(buf).size() > t->size()) *t = Utf8(buf);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&text));
    return text;
}

// A message box of `owner` that is on screen with its message filled in: a box
// is found by its class while it is still being made, before it has either.
HWND ShownMessageBox(HWND owner) {
    for (HWND box = FindWindowExW(nullptr, nullptr, L"#32770", nullptr); box;
         box = FindWindowExW(nullptr, box, L"#32770", nullptr)) {
        if (GetWindow(box, GW_OWNER) == owner && IsWindowVisible(box) &&
            GetWindowTextLengthW(box) > 0 && !BoxMessage(box).empty())
            return box;
    }
    return nullptr;
}

std::pair<std::string, std::string> Driver::TakeMessageBox() const {
    HWND box = nullptr;
    WaitFor([&] { return (box = ShownMessageBox(w_)) != nullptr; }, 60);
    if (!box) return {};
    wchar_t title[256] = {};
    GetWindowTextW(box, title, 256);
    const std::string text = BoxMessage(box);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    WaitFor([&] { return !IsWindow(box); }, 30);
    return {Utf8(title), text};
}

}  // namespace

namespace {

// What the image maker says of a deleted file's unnamed content.
struct ExpectedFile {
    std::string md5;
    bool whole = false;      // every cluster still its own: recovered byte for byte
    bool encrypted = false;  // given up: the window writes no ciphertext
};

struct Expected {
    std::vector<std::vector<std::string>> rows;  // position, record, name, type, size, ...
    std::map<std::string, ExpectedFile> files;   // the row's position -> its file

    const ExpectedFile* Of(const std::string& position) const {
        const auto it = files.find(position);
        return it == files.end() ? nullptr : &it->second;
    }
};

// The manifest's columns: record, deleted, size, md5, path, stream, flags, recoverable, ...
Expected ReadExpected(const std::string& manifest, const std::string& scan) {
    Expected e;
    e.rows = ReadTsv(scan);
    if (!e.rows.empty() && !e.rows[0].empty() && e.rows[0][0] == "position")
        e.rows.erase(e.rows.begin());  // the heading
    std::map<std::string, ExpectedFile> byRecord;
    for (const auto& f : ReadTsv(manifest)) {
        if (f.size() < 8 || f[1] != "1" || f[5] != "-") continue;  // named streams are not listed
        ExpectedFile& x = byRecord[f[0]];
        x.md5 = f[3];
        x.encrypted = f[6].find("encrypted") != std::string::npos;
        x.whole = f[7] == "100" && !x.encrypted;
    }
    for (const auto& row : e.rows)
        if (row.size() >= 2 && byRecord.count(row[1])) e.files[row[0]] = byRecord[row[1]];
    return e;
}

std::set<std::string> Files(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.insert(Utf8(e.path().filename().wstring()));
    return names;
}

void ClearFolder(const fs::path& dir) {
    for (const auto& e : fs::directory_iterator(dir)) fs::remove_all(e.path());
}

void CheckStartup(Driver& d, HWND w) {
    wchar_t caption[256] = {};
    GetWindowTextW(w, caption, 256);
    Check(Utf8(caption) == "Quillmere数据恢复软件 1.0.0.0", "window caption: " + Utf8(caption));
    Check(!(GetWindowLongW(w, GWL_STYLE) & WS_MAXIMIZEBOX), "no maximise box");
    RECT r{};
    GetClientRect(w, &r);
    Check(r.right == 859 && r.bottom == 576, "client area 859 x 576");
    Check(d.Text(kIdBtnScan) == "扫描磁盘" && d.Text(kIdBtnRecover) == "恢复选中文件" &&
              d.Text(kIdRb1) == "按原名保存(可能会覆盖)" &&
              d.Text(kIdCheckBox1) == "选中所有的删除文件",
          "button captions");
    const char* columns[] = {"记录位置", "文件名",       "文件类型", "文件大小",
                             "创建日期", "最后修改日期", "原路径",   "可恢复"};
    const int widths[] = {100, 200, 100, 100, 160, 160, 200, 60};
    for (int c = 0; c < 8; ++c) {
        const auto col = d.Column(c);
        Check(col.first == columns[c] && col.second == widths[c],
              "column " + std::to_string(c) + ": " + col.first + " " + std::to_string(col.second));
    }
    // The tab order: the controls that take focus, in the seed's order.
    const int order[] = {kIdBtnScan, kIdDriveList, kIdDlb,       kIdDcb,  kIdRb1, kIdBtnRecover,
                         kIdEdPath,  kIdCheckBox1, kIdListView1, kIdBtn1, kIdBtn2};
    HWND at = d.Item(kIdBtnScan);
    std::string got = std::to_string(GetDlgCtrlID(at));
    std::string want = std::to_string(order[0]);
    for (std::size_t i = 1; i < std::size(order); ++i) {
        at = GetNextDlgTabItem(w, at, FALSE);
        got += " " + std::to_string(GetDlgCtrlID(at));
        want += " " + std::to_string(order[i]);
    }
    Check(got == want, "tab order: " + got);
    // Scan without a source: the seed's prompt, titled with the application's title.
    d.Press(kIdBtnScan);
    const auto box = d.TakeMessageBox();
    Check(box.first == "Quillmere数据恢复工具" && box.second == "请先选择一个磁盘!",
          "no-source prompt: " + box.first + " / " + box.second);
}

// The CLI's field `i` of a row ("" past the fields a line holds).
std::string Field(const std::vector<std::string>& row, std::size_t i) {
    return i < row.size() ? row[i] : std::string();
}

// What the window's last two columns show for a CLI row: the folder of its
// path ("/" for the root), and its recoverable share as a percentage.
std::string FolderAndShare(const std::vector<std::string>& row) {
    const std::string path = Field(row, 7), share = Field(row, 8);
    const std::size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash);
    if (folder.empty()) folder = "/";
    return folder + "|" + (share.empty() ? "" : share + "%");
}

// ASCII letters folded to upper case; whether the text is all ASCII.
bool FoldAscii(std::string& s) {
    bool ascii = true;
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        ascii &= static_cast<unsigned char>(c) < 0x80;
    }
    return ascii;
}

// A click on the folder column's header sorts the rows by it. Texts with
// other than ASCII are left out: the cells come back as UTF-8, the window
// sorts their code page's bytes.
void CheckFolderSort(Driver& d) {
    d.ClickHeader(6);
    bool sorted = true;
    for (int r = 0; r + 1 < d.Rows(); ++r) {
        std::string a = d.Cell(r, 6), b = d.Cell(r + 1, 6);
        const bool ascii = FoldAscii(a) & FoldAscii(b);
        sorted &= !ascii || !(b < a);
    }
    Check(sorted, "sorted by folder after a click on its header");
}

void CheckScan(Driver& d, const Expected& e) {
    const int sources = static_cast<int>(SendMessageW(d.Item(kIdDriveList), LB_GETCOUNT, 0, 0));
    Check(sources >= 1, "the image is listed");
    // The image comes after the drives.
    SendMessageW(d.Item(kIdDriveList), LB_SETCURSEL, static_cast<WPARAM>(sources - 1), 0);
    d.Press(kIdBtnScan);
    const int want = static_cast<int>(e.rows.size());
    const bool done = WaitFor([&] {
        return d.Rows() == want && d.Text(kIdBtnScan) == "扫描磁盘" &&
               IsWindowEnabled(d.Item(kIdBtnRecover));
    });
    Check(done,
          "scan lists " + std::to_string(want) + " rows (got " + std::to_string(d.Rows()) + ")");
    Check(d.Text(kIdDeleteFileCount) == "删除的文件数：" + std::to_string(want),
          "deleted-file count: " + d.Text(kIdDeleteFileCount));
    for (int r = 0; r < std::min(want, d.Rows()); ++r) {
        const auto& x = e.rows[static_cast<std::size_t>(r)];
        const std::string got = d.Cell(r, 0) + "|" + d.Cell(r, 1) + "|" + d.Cell(r, 2) + "|" +
                                d.Cell(r, 3) + "|" + d.Cell(r, 6) + "|" + d.Cell(r, 7);
        const std::string expect = Field(x, 0) + "|" + Field(x, 2) + "|" + Field(x, 3) + "|" +
                                   Field(x, 4) + "|" + FolderAndShare(x);
        Check(got == expect,
              "row " + std::to_string(r) + ": " + got + (got == expect ? "" : " != " + expect));
    }
}

// Waits for a recovery to write `names` and to end.
bool WaitForRecovery(Driver& d, const fs::path& out, const std::set<std::string>& names) {
    return WaitFor([&] {
        return Files(out) == names && d.Text(kIdBtnRecover) == "恢复文件" &&
               IsWindowEnabled(d.Item(kIdBtnScan));
    });
}

// A recovery of `ticked` (row -> the file it is written to) to its end: the
// files of every row but the encrypted ones are written, whole files with the
// manifest's MD5, those whose clusters others took as they are now; a file
// given up is counted in the box the recovery closes with.
void CheckRecovery(Driver& d, const Expected& e, const fs::path& out,
                   const std::map<int, std::string>& ticked, const std::string& how) {
    std::set<std::string> names;
    int givenUp = 0;
    for (const auto& [row, file] : ticked) {
        const ExpectedFile* x = e.Of(d.Cell(row, 0));
        if (x && x->encrypted)
            ++givenUp;
        else
            names.insert(file);
    }
    Check(WaitForRecovery(d, out, names),
          how + ": the " + std::to_string(names.size()) + " files are written");
    if (givenUp > 0) {
        const auto box = d.TakeMessageBox();
        const std::string count = std::to_string(givenUp) + " 个文件未能恢复";
        Check(box.first == "Quillmere数据恢复工具" && box.second.find(count) != std::string::npos,
              how + ": the closing box counts " + count + ": " + box.second);
    }
    for (const auto& [row, file] : ticked) {
        const std::string name = d.Cell(row, 1);
        const std::string what = file == name ? file : file + " (" + name + ")";
        const ExpectedFile* x = e.Of(d.Cell(row, 0));
        if (!x) {
            Check(false, what + " is in the manifest");
        } else if (x->whole) {
            Check(FileMd5(out / fs::u8path(file)) == x->md5, "MD5 of " + what);
        } else if (!x->encrypted) {
            Check(fs::exists(out / fs::u8path(file)), what + " is written (clusters overwritten)");
        }
    }
}

void CheckRecoverByName(Driver& d, const Expected& e, const fs::path& out) {
    d.ClickHeader(1);  // by name
    bool sorted = true;
    for (int r = 0; r + 1 < d.Rows(); ++r) {
        std::string a = d.Cell(r, 1), b = d.Cell(r + 1, 1);
        for (std::string* s : {&a, &b})
            for (char& c : *s)
                if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        sorted &= !(b < a) || static_cast<unsigned char>(a[0]) >= 0x80;
    }
    Check(sorted, "sorted by name after a click on its header");
    std::map<int, std::string> ticked;
    for (int r : {0, 2}) {
        d.Tick(r);
        ticked[r] = d.Cell(r, 1);
    }
    d.Press(kIdBtnRecover);
    CheckRecovery(d, e, out, ticked, "by name");
}

void CheckTicksAndRecoverByNumber(Driver& d, const Expected& e, const fs::path& out) {
    ClearFolder(out);
    d.PressAndWait(kIdCheckBox1);  // every row
    d.PressAndWait(kIdBtn2);       // none
    d.Tick(1);
    d.PressAndWait(kIdBtn2);  // every row but row 1
    d.PressAndWait(kIdRb2);
    std::map<int, std::string> ticked;
    for (int r = 0; r < d.Rows(); ++r)
        if (r != 1) ticked[r] = "File_" + std::to_string(r);
    d.Press(kIdBtnRecover);
    CheckRecovery(d, e, out, ticked, "by number, all rows but the unticked one");
}

void CheckListIndexError(Driver& d) {
    SendMessageW(d.Item(kIdDriveList), LB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    d.Press(kIdBtnRecover);
    const auto box = d.TakeMessageBox();
    Check(box.first == "Quillmere数据恢复工具" && box.second == "List index out of bounds (-1)",
          "List-index error box: " + box.second);
}

void ScreenshotPause(const fs::path& sync) {
    std::ofstream(sync / "screenshot.ready") << "ready\n";
    Check(WaitFor([&] { return fs::exists(sync / "screenshot.done"); }, 120), "screenshot taken");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 6) {
        std::fprintf(stderr,
                     "usage: quillmere_window_test EXE IMAGE MANIFEST SCAN OUTDIR [SYNCDIR]\n");
        return 2;
    }
    const Expected expected = ReadExpected(Utf8(argv[3]), Utf8(argv[4]));
    const fs::path out = argv[5];
    fs::create_directories(out);
    std::wstring command = L"\"" + std::wstring(argv[1]) + L"\" \"" + argv[2] + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    // The output folder is the window's current directory: its folder list starts there.
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        out.wstring().c_str(), &si, &pi)) {
        std::fprintf(stderr, "cannot start the window (%lu)\n", GetLastError());
        return 2;
    }
    WaitForInputIdle(pi.hProcess, 60000);
    HWND w = nullptr;
    // Shown once its controls and the drive list are made.
    WaitFor(
        [&] { return (w = FindWindowW(kWindowClass, nullptr)) != nullptr && IsWindowVisible(w); },
        60);
    Check(w != nullptr, "the window opens");
    if (w) {
        Driver d(w, pi.hProcess);
        CheckStartup(d, w);
        CheckScan(d, expected);
        if (argc > 6) ScreenshotPause(argv[6]);
        CheckFolderSort(d);
        CheckRecoverByName(d, expected, out);
        CheckTicksAndRecoverByNumber(d, expected, out);
        CheckListIndexError(d);
        PostMessageW(w, WM_CLOSE, 0, 0);
    }
    const bool exited = WaitForSingleObject(pi.hProcess, 30000) == WAIT_OBJECT_0;
    Check(exited, "the window closes");
    if (!exited) TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    std::printf("%s: %d failure(s)\n", g_failures ? "FAILED" : "PASSED", g_failures);
    return g_failures ? 1 : 0;
}
