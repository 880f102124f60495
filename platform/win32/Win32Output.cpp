// Output files on Windows: written to a temporary file beside the final one and
// moved into place on Commit. And whether a folder lies on the source drive.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <random>
#include <string>

#include "platform/Platform.h"
#include "platform/RawVolume.h"

namespace qm {
namespace {

std::string TempSuffix() {
    thread_local std::mt19937_64 rng([] {
        std::random_device rd;
        return (std::uint64_t{rd()} << 32) ^ rd() ^ GetCurrentProcessId();
    }());
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(rng()));
    return buf;
}

class Win32OutputFile final : public OutputFile {
public:
    Win32OutputFile(HANDLE h, std::string tmp, std::string final)
        : h_(h), tmp_(std::move(tmp)), final_(std::move(final)) {}
    Win32OutputFile(const Win32OutputFile&) = delete;
    Win32OutputFile& operator=(const Win32OutputFile&) = delete;
    ~Win32OutputFile() override {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
        if (!committed_) DeleteFileA(tmp_.c_str());
    }

    bool Write(std::span<const std::uint8_t> bytes) override {
        if (failed_ || committed_) return false;
        std::uint64_t end;
        if (__builtin_add_overflow(pos_, bytes.size(), &end) || end > INT64_MAX)
            return Fail(ERROR_FILE_TOO_LARGE);
        std::size_t done = 0;
        while (done < bytes.size()) {
            const DWORD want =
                static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
            DWORD wrote = 0;
            if (!WriteFile(h_, bytes.data() + done, want, &wrote, nullptr))
                return Fail();  // disk full, I/O error, ...
            if (wrote == 0) return Fail(ERROR_DISK_FULL);
            done += wrote;
        }
        pos_ = end;
        if (!bytes.empty()) holeAtEnd_ = false;
        return true;
    }

    bool WriteZeros(std::uint64_t count) override {
        if (failed_ || committed_) return false;
        if (count == 0) return true;
        std::uint64_t end;
        if (__builtin_add_overflow(pos_, count, &end) || end > INT64_MAX)
            return Fail(ERROR_FILE_TOO_LARGE);
        if (!sparse_ && count >= 65536) {
            // Long runs of zeros stay unallocated on NTFS once the file is sparse.
            DWORD bytes = 0;
            DeviceIoControl(h_, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &bytes, nullptr);
            sparse_ = true;
        }
        LARGE_INTEGER to;
        to.QuadPart = static_cast<LONGLONG>(end);
        if (!SetFilePointerEx(h_, to, nullptr, FILE_BEGIN)) return Fail();
        pos_ = end;
        holeAtEnd_ = true;
        return true;
    }

    bool Commit() override {
        if (committed_) return true;
        if (failed_ || !Close()) return false;
        if (!MoveFileExA(tmp_.c_str(), final_.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return Fail();
        committed_ = true;
        return true;
    }

    CommitOutcome CommitNew(const std::string& path) override {
        if (committed_) return CommitOutcome::Committed;
        if (failed_ || !Close()) return CommitOutcome::Failed;
        // Without MOVEFILE_REPLACE_EXISTING the move fails when the name is taken.
        if (!MoveFileExA(tmp_.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) {
            const DWORD e = GetLastError();
            if (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS)
                return CommitOutcome::NameTaken;
            Fail(e);
            return CommitOutcome::Failed;
        }
        committed_ = true;
        return CommitOutcome::Committed;
    }

    int LastError() const override { return static_cast<int>(error_); }
    void KeepTimes(const FileTimes& times) override { times_ = times; }
    int TimesError() const override { return static_cast<int>(timesError_); }

private:
    bool Fail(DWORD e = GetLastError()) {
        failed_ = true;
        error_ = e;
        return false;
    }

    // Ends the writing, once: sets the size a hole at the end leaves open,
    // flushes and closes the temporary file.
    bool Close() {
        if (h_ == INVALID_HANDLE_VALUE) return true;
        if (holeAtEnd_ && !SetEndOfFile(h_)) return Fail();
        SetTimes();  // after the last change of the content, which would move them
        if (!FlushFileBuffers(h_)) return Fail();
        HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        if (!CloseHandle(h)) return Fail();
        return true;
    }

    // 0 (no time) leaves the file's own; values of 2^63 and more are no times.
    static const FILETIME* AsFileTime(std::uint64_t t, FILETIME& out) {
        if (t == 0 || t >= (std::uint64_t{1} << 63)) return nullptr;
        out.dwLowDateTime = static_cast<DWORD>(t);
        out.dwHighDateTime = static_cast<DWORD>(t >> 32);
        return &out;
    }
    void SetTimes() {
        if (!times_.Any()) return;
        FILETIME c, a, m;
        if (!SetFileTime(h_, AsFileTime(times_.created, c), AsFileTime(times_.accessed, a),
                         AsFileTime(times_.modified, m)))
            timesError_ = GetLastError();
    }

    HANDLE h_;
    std::string tmp_, final_;
    FileTimes times_;
    DWORD timesError_ = 0;
    std::uint64_t pos_ = 0;
    bool holeAtEnd_ = false;
    bool sparse_ = false;
    DWORD error_ = 0;
    bool failed_ = false;
    bool committed_ = false;
};

class Win32OutputFactory final : public OutputFactory {
public:
    ErrorOr<std::unique_ptr<OutputFile>> Create(const std::string& finalPath) override {
        const auto slash = finalPath.find_last_of("\\/");
        if (slash == finalPath.size() - 1 || finalPath.empty())
            return Error::Make(ErrorCode::InvalidArgument, finalPath + ": no file name");
        std::string dir = slash == std::string::npos ? "." : finalPath.substr(0, slash);
        if (dir.empty() || (dir.size() == 2 && dir[1] == ':')) dir += "\\";  // a root
        const DWORD attrs = GetFileAttributesA(dir.c_str());
        if (attrs == INVALID_FILE_ATTRIBUTES) {
            const DWORD e = GetLastError();
            return Error::Make(e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND
                                   ? ErrorCode::NotFound
                                   : ErrorCode::WriteFailed,
                               dir + ": folder not found");
        }
        if (!(attrs & FILE_ATTRIBUTE_DIRECTORY))
            return Error::Make(ErrorCode::WriteFailed, dir + ": not a folder");
        const std::string sep = dir.back() == '\\' || dir.back() == '/' ? "" : "\\";
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string tmp = dir + sep + ".qm-" + TempSuffix() + ".part";
            // No sharing while it is written; a new name, so nothing is overwritten.
            HANDLE h = CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
            if (h != INVALID_HANDLE_VALUE)
                return std::unique_ptr<OutputFile>(
                    std::make_unique<Win32OutputFile>(h, std::move(tmp), finalPath));
            const DWORD e = GetLastError();
            if (e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS) continue;
            if (e == ERROR_ACCESS_DENIED || e == ERROR_WRITE_PROTECT)
                return Error::Make(ErrorCode::PermissionDenied,
                                   dir + ": cannot write in this folder");
            if (e == ERROR_DISK_FULL || e == ERROR_HANDLE_DISK_FULL)
                return Error::Make(ErrorCode::WriteFailed, dir + ": disk full");
            return Error::Make(
                ErrorCode::WriteFailed,
                dir + ": cannot create a file (Windows error " + std::to_string(e) + ")");
        }
        return Error::Make(ErrorCode::WriteFailed, dir + ": no free temporary name");
    }
};

}  // namespace

OutputFactory& DefaultOutputFactory() {
    static Win32OutputFactory factory;
    return factory;
}

std::string SystemErrorText(int code) {
    char text[512] = {};
    const DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(code), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text,
                       sizeof text, nullptr);
    std::string out(text, n);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.'))
        out.pop_back();
    if (out.empty()) out = "error " + std::to_string(code);
    return out;
}

bool IsOutOfSpace(int code) {
    return code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL;
}

bool FolderIsOnSource(const std::string& folder, const std::string& source) {
    // Only a drive ("C:", or its device path "\\.\C:") can share clusters with a folder.
    const SourceSpec spec = ParseSourceSpec(source);
    std::string_view path = spec.path;
    if (path.substr(0, 4) == "\\\\.\\" || path.substr(0, 4) == "//./") path.remove_prefix(4);
    if (path.size() != 2 || path[1] != ':' || !std::isalpha(static_cast<unsigned char>(path[0])))
        return false;
    char volume[MAX_PATH + 1] = {};
    if (!GetVolumePathNameA(folder.c_str(), volume, sizeof volume)) return false;
    return std::toupper(static_cast<unsigned char>(volume[0])) ==
               std::toupper(static_cast<unsigned char>(path[0])) &&
           volume[1] == ':';
}

}  // namespace qm
