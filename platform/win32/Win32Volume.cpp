// Raw volumes on Windows: a drive ("C:" opens "\\.\C:") or an image file,
// opened for reading only and shared with everyone else who has it open.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <mutex>

#include "platform/AlignedRead.h"
#include "platform/RawVolume.h"

namespace qm {
namespace {

bool IsDriveText(const std::string& s) {
    return s.size() == 2 && s[1] == ':' &&
           ((s[0] >= 'A' && s[0] <= 'Z') || (s[0] >= 'a' && s[0] <= 'z'));
}

bool IsDevicePath(const std::string& s) {
    return s.rfind("\\\\.\\", 0) == 0 || s.rfind("//./", 0) == 0;
}

// Reads up to n bytes at pos through handle h (which the caller owns alone).
std::int64_t ReadHandleAt(HANDLE h, std::uint64_t pos, std::uint8_t* data, std::size_t n) {
    if (pos > static_cast<std::uint64_t>(INT64_MAX)) return -1;
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(pos);
    if (!SetFilePointerEx(h, to, nullptr, FILE_BEGIN)) return -1;
    // At most 1 GiB per call: a multiple of every sector size.
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30));
    DWORD got = 0;
    if (!ReadFile(h, data, want, &got, nullptr)) return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return got;
}

class Win32Volume final : public RawVolume {
public:
    Win32Volume(HANDLE h, std::uint64_t size, std::uint32_t sectorSize, std::string target,
                bool device, std::string name)
        : h_(h),
          size_(size),
          sectorSize_(sectorSize),
          target_(std::move(target)),
          device_(device),
          name_(std::move(name)) {}
    ~Win32Volume() override {
        CloseHandle(h_);
        if (direct_ != INVALID_HANDLE_VALUE) CloseHandle(direct_);
    }
    Win32Volume(const Win32Volume&) = delete;
    Win32Volume& operator=(const Win32Volume&) = delete;

    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buf) override {
        // Seek and read go together: one reader at a time.
        std::lock_guard lock(mu_);
        auto readAt = [this](std::uint64_t pos, std::uint8_t* data, std::size_t n) -> std::int64_t {
            const std::int64_t r = ReadHandleAt(h_, pos, data, n);
            if (r >= 0 || !device_) return r;
            return ReadUnbuffered(pos, data, n);
        };
        return ReadFullyAligned(readAt, offset, buf, sectorSize_);
    }
    std::uint64_t Size() const override { return size_; }
    const std::string& Name() const override { return name_; }
    std::uint32_t SectorSize() const override { return sectorSize_; }

private:
    // A failed cached read of a drive may fail more than its bad sectors: the
    // range is read again on a second handle that bypasses the cache, sector by
    // sector where it must, so that only the sectors that are truly bad are lost.
    std::int64_t ReadUnbuffered(std::uint64_t pos, std::uint8_t* data, std::size_t n) {
        if (!directTried_) {
            directTried_ = true;
            direct_ = CreateFileA(target_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
        }
        if (direct_ == INVALID_HANDLE_VALUE) return -1;
        const HANDLE h = direct_;
        return RetryUnbuffered([h](std::uint64_t at, std::uint8_t* into,
                                   std::size_t len) { return ReadHandleAt(h, at, into, len); },
                               pos, data, n, sectorSize_);
    }

    HANDLE h_;
    std::uint64_t size_;
    std::uint32_t sectorSize_;
    std::string target_;
    bool device_;
    std::string name_;
    std::mutex mu_;
    bool directTried_ = false;              // guarded by mu_
    HANDLE direct_ = INVALID_HANDLE_VALUE;  // opened on the first failed read
};

Error OpenError(const std::string& path, DWORD e) {
    switch (e) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_NOT_READY:
            return Error::Make(ErrorCode::NotFound, path + ": no such file or drive");
        case ERROR_ACCESS_DENIED:
        case ERROR_PRIVILEGE_NOT_HELD:
            return Error::Make(ErrorCode::PermissionDenied,
                               path + ": access denied (raw drives need administrator rights)");
        default:
            return Error::Make(ErrorCode::OpenFailed,
                               path + ": cannot open (Windows error " + std::to_string(e) + ")");
    }
}

}  // namespace

ErrorOr<std::unique_ptr<RawVolume>> OpenRawVolumePath(const std::string& path) {
    const bool drive = IsDriveText(path);
    const std::string target = drive ? "\\\\.\\" + path : path;
    const bool device = drive || IsDevicePath(path);
    if (!device) {
        const DWORD attrs = GetFileAttributesA(target.c_str());
        if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY))
            return Error::Make(ErrorCode::OpenFailed, path + ": is a folder");
    }
    // Read access only: the volume being recovered must never be written.
    HANDLE h = CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return OpenError(path, GetLastError());

    std::uint64_t size = 0;
    std::uint32_t sectorSize = 1;
    DWORD bytes = 0;
    if (device) {
        GET_LENGTH_INFORMATION length{};
        if (DeviceIoControl(h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length,
                            &bytes, nullptr))
            size = static_cast<std::uint64_t>(length.Length.QuadPart);
        // Raw drives take whole sectors only.
        DISK_GEOMETRY_EX geometry{};
        sectorSize = 512;
        if (DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry,
                            sizeof geometry, &bytes, nullptr)) {
            const DWORD s = geometry.Geometry.BytesPerSector;
            if (s >= 512 && s <= (1u << 20) && (s & (s - 1)) == 0) sectorSize = s;
        }
    } else {
        LARGE_INTEGER li{};
        if (GetFileSizeEx(h, &li)) size = static_cast<std::uint64_t>(li.QuadPart);
    }
    return std::unique_ptr<RawVolume>(
        std::make_unique<Win32Volume>(h, size, sectorSize, target, device, path));
}

}  // namespace qm
