// Raw volumes on POSIX systems: block devices and image files, opened read-only.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

#include "platform/AlignedBuffer.h"
#include "platform/AlignedRead.h"
#include "platform/RawVolume.h"
#include "platform/posix/PosixInternal.h"

namespace qm {
namespace {

// Positioned reads of `n` bytes at `pos`, retried when interrupted.
std::int64_t PreadAt(int fd, std::uint64_t pos, std::uint8_t* data, std::size_t n) {
    std::uint64_t end;
    if (__builtin_add_overflow(pos, n, &end) || end > static_cast<std::uint64_t>(INT64_MAX))
        return -1;
    n = std::min<std::size_t>(n, SSIZE_MAX);
    for (;;) {
        const ssize_t r = ::pread(fd, data, n, static_cast<off_t>(pos));
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

class PosixVolume final : public RawVolume {
public:
    PosixVolume(int fd, std::uint64_t size, std::uint32_t sectorSize, bool device, std::string name)
        : fd_(fd), size_(size), sectorSize_(sectorSize), device_(device), name_(std::move(name)) {}
    ~PosixVolume() override {
        ::close(fd_);
        if (directFd_ >= 0) ::close(directFd_);
    }
    PosixVolume(const PosixVolume&) = delete;
    PosixVolume& operator=(const PosixVolume&) = delete;

    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buf) override {
        auto readAt = [this](std::uint64_t pos, std::uint8_t* data, std::size_t n) -> std::int64_t {
            const std::int64_t r = PreadAt(fd_, pos, data, n);
            if (r >= 0 || !device_ || errno != EIO) return r;
            return ReadUnbuffered(pos, data, n);
        };
        return ReadFullyAligned(readAt, offset, buf, sectorSize_);
    }
    std::uint64_t Size() const override { return size_; }
    const std::string& Name() const override { return name_; }
    std::uint32_t SectorSize() const override { return sectorSize_; }
    // The descriptor of an image file; -1 for a device.
    int PlainFd() const { return device_ ? -1 : fd_; }

    // A device answers when its first sector can be read past the page cache.
    bool Answers() override {
        if (!device_) return true;
        OpenDirect();
        if (directFd_ < 0) return true;  // no way past the cache: cannot tell
        AlignedBuffer sector(std::max<std::uint32_t>(sectorSize_, 512));
        return PreadAt(directFd_, 0, sector.data(), sector.size()) > 0;
    }

private:
    void OpenDirect() {
        std::call_once(directOnce_, [this] {
#if defined(O_DIRECT)
            directFd_ = ::open(name_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_DIRECT);
#endif
        });
    }

    // A failed read of a device fails the page cache's whole readahead window,
    // good sectors included: the range is read again past the cache, so that
    // only the sectors that are truly bad are lost.
    std::int64_t ReadUnbuffered(std::uint64_t pos, std::uint8_t* data, std::size_t n) {
        OpenDirect();
        if (directFd_ < 0) return -1;
        const int fd = directFd_;
        const std::int64_t r =
            RetryUnbuffered([fd](std::uint64_t at, std::uint8_t* into,
                                 std::size_t len) { return PreadAt(fd, at, into, len); },
                            pos, data, n, sectorSize_);
        if (r < 0) errno = EIO;
        return r;
    }

    int fd_;
    std::uint64_t size_;
    std::uint32_t sectorSize_;
    bool device_;
    std::string name_;
    std::once_flag directOnce_;
    int directFd_ = -1;  // opened with O_DIRECT on the first failed read
};

Error OpenError(const std::string& path, int e) {
    if (e == ENOENT || e == ENOTDIR || e == ENXIO || e == ENODEV)
        return Error::Make(ErrorCode::NotFound, path + ": no such file or device");
    if (e == EACCES || e == EPERM)
        return Error::Make(ErrorCode::PermissionDenied,
                           path + ": permission denied (raw devices need root)");
    return Error::Make(ErrorCode::OpenFailed, path + ": " + std::strerror(e));
}

}  // namespace

namespace posix {

std::optional<PlainFileSpot> PlainFileOf(RawVolume& volume, std::uint64_t offset,
                                         std::uint64_t count) {
    RawVolume* v = &volume;
    for (;;) {
        std::uint64_t end;
        if (__builtin_add_overflow(offset, count, &end) || end > v->Size()) return std::nullopt;
        RawVolume* parent = v->Parent();
        if (!parent) break;
        // A window onto another volume: its bytes lie further in.
        if (__builtin_add_overflow(offset, v->OffsetInParent(), &offset)) return std::nullopt;
        v = parent;
    }
    const auto* file = dynamic_cast<const PosixVolume*>(v);
    if (!file || file->PlainFd() < 0) return std::nullopt;
    return PlainFileSpot{file->PlainFd(), offset};
}

}  // namespace posix

ErrorOr<std::unique_ptr<RawVolume>> OpenRawVolumePath(const std::string& path) {
    // Read-only, always: the volume being recovered must never be written.
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return OpenError(path, errno);

    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        return OpenError(path, e);
    }
    std::uint64_t size = 0;
    std::uint32_t sectorSize = 1;
    // Raw disks are block devices on Linux, character devices on the BSDs.
#if defined(__linux__)
    const bool device = S_ISBLK(st.st_mode);
#else
    const bool device = S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode);
#endif
    if (S_ISREG(st.st_mode)) {
        size = static_cast<std::uint64_t>(st.st_size);
    } else if (device) {
#if defined(__linux__)
        std::uint64_t bytes = 0;
        if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0) size = bytes;
        int logical = 0;
        // Reads are cut to whole logical sectors: devices opened for direct
        // access refuse anything else, and 4096-byte sectors are common.
        if (::ioctl(fd, BLKSSZGET, &logical) == 0 && logical > 1 && logical <= (1 << 20) &&
            (logical & (logical - 1)) == 0)
            sectorSize = static_cast<std::uint32_t>(logical);
        else
            sectorSize = 512;
#endif
        if (size == 0) {
            const off_t end = ::lseek(fd, 0, SEEK_END);
            if (end > 0) size = static_cast<std::uint64_t>(end);
        }
    } else {
        ::close(fd);
        return Error::Make(ErrorCode::OpenFailed,
                           path + (S_ISDIR(st.st_mode) ? ": is a directory"
                                                       : ": neither a file nor a block device"));
    }
    return std::unique_ptr<RawVolume>(
        std::make_unique<PosixVolume>(fd, size, sectorSize, device, path));
}

}  // namespace qm
