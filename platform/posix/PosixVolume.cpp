// Raw volumes on POSIX systems: block devices and image files, opened read-only.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/RawVolume.h"

namespace qm {
namespace {

class PosixVolume final : public RawVolume {
public:
    PosixVolume(int fd, std::uint64_t size, std::string name)
        : fd_(fd), size_(size), name_(std::move(name)) {}
    ~PosixVolume() override { ::close(fd_); }

    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buf) override {
        std::size_t done = 0;
        while (done < buf.size()) {
            std::uint64_t pos;
            if (__builtin_add_overflow(offset, done, &pos) || pos > INT64_MAX) break;
            ssize_t n = ::pread(fd_, buf.data() + done, buf.size() - done, static_cast<off_t>(pos));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        std::fill(buf.begin() + static_cast<std::ptrdiff_t>(done), buf.end(), std::uint8_t{0});
        return done;
    }
    std::uint64_t Size() const override { return size_; }
    const std::string& Name() const override { return name_; }

private:
    int fd_;
    std::uint64_t size_;
    std::string name_;
};

}  // namespace

ErrorOr<std::unique_ptr<RawVolume>> OpenRawVolumePath(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        if (e == ENOENT) return Error::Make(ErrorCode::NotFound, path + ": no such file or device");
        if (e == EACCES || e == EPERM)
            return Error::Make(ErrorCode::PermissionDenied,
                               path + ": permission denied (raw devices need root)");
        return Error::Make(ErrorCode::OpenFailed, path + ": " + std::strerror(e));
    }
    struct stat st {};
    std::uint64_t size = 0;
    if (::fstat(fd, &st) == 0) {
        if (S_ISREG(st.st_mode)) {
            size = static_cast<std::uint64_t>(st.st_size);
        } else {
            off_t end = ::lseek(fd, 0, SEEK_END);
            if (end > 0) size = static_cast<std::uint64_t>(end);
        }
        if (S_ISDIR(st.st_mode)) {
            ::close(fd);
            return Error::Make(ErrorCode::OpenFailed, path + ": is a directory");
        }
    }
    return std::unique_ptr<RawVolume>(std::make_unique<PosixVolume>(fd, size, path));
}

}  // namespace qm
