// Output files on POSIX: written to a temporary file beside the final one and
// renamed into place on Commit.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <set>

#include "platform/Platform.h"
#include "platform/posix/PosixInternal.h"

namespace qm {
namespace fs = std::filesystem;

namespace {

std::string TempSuffix() {
    thread_local std::mt19937_64 rng([] {
        std::random_device rd;
        return (std::uint64_t{rd()} << 32) ^ rd() ^ static_cast<std::uint64_t>(::getpid());
    }());
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(rng()));
    return buf;
}

// Gives `from` the name `to` unless a file has it: 0, EEXIST when one has, or
// the error. File systems without the kernel's no-replace rename get a hard
// link; those without hard links (FAT) an empty file made with O_EXCL that
// the rename then replaces, so no file made by anyone else is ever replaced.
int MoveNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    int e = errno;
    if (e != EINVAL && e != ENOSYS && e != ENOTSUP) return e;
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return 0;
    }
    e = errno;
    if (e != EPERM && e != ENOTSUP && e != EOPNOTSUPP && e != EMLINK) return e;
    const int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) return errno;
    ::close(fd);
    if (::rename(from.c_str(), to.c_str()) == 0) return 0;
    e = errno;
    ::unlink(to.c_str());
    return e;
}

// A FILETIME as the system's time; 0 (no time) leaves the file's own.
timespec ToTimespec(std::uint64_t fileTime) {
    constexpr std::int64_t kUnixEpoch = 116444736000000000;  // 1970-01-01 as a FILETIME
    if (fileTime == 0 || fileTime >= (std::uint64_t{1} << 63)) return {0, UTIME_OMIT};
    const std::int64_t since = static_cast<std::int64_t>(fileTime) - kUnixEpoch;
    std::int64_t sec = since / 10000000, rest = since % 10000000;
    if (rest < 0) --sec, rest += 10000000;  // before 1970: the seconds round down
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(sec);
    ts.tv_nsec = static_cast<long>(rest * 100);
    return ts;
}

class PosixOutputFile final : public OutputFile {
    // Bytes asked of one copy_file_range call.
    static constexpr std::uint64_t kCopyPiece = std::uint64_t{1} << 30;

public:
    PosixOutputFile(int fd, std::string tmp, std::string final)
        : fd_(fd), tmp_(std::move(tmp)), final_(std::move(final)) {}
    PosixOutputFile(const PosixOutputFile&) = delete;
    PosixOutputFile& operator=(const PosixOutputFile&) = delete;
    ~PosixOutputFile() override {
        if (fd_ >= 0) ::close(fd_);
        if (!committed_) ::unlink(tmp_.c_str());
    }

    bool Write(std::span<const std::uint8_t> bytes) override {
        if (failed_ || committed_) return false;
        std::uint64_t end;
        if (__builtin_add_overflow(pos_, bytes.size(), &end) || end > INT64_MAX) return Fail(EFBIG);
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return Fail();  // ENOSPC, EIO, EFBIG, ...
            if (n == 0) return Fail(ENOSPC);
            done += static_cast<std::size_t>(n);
        }
        pos_ = end;
        if (!bytes.empty()) holeAtEnd_ = false;
        return true;
    }

    std::uint64_t CopyFrom(RawVolume& source, std::uint64_t offset, std::uint64_t count) override {
        if (failed_ || committed_ || count == 0) return 0;
#if defined(__linux__)
        const auto spot = posix::PlainFileOf(source, offset, count);
        std::uint64_t end;
        if (!spot || __builtin_add_overflow(pos_, count, &end) || end > INT64_MAX ||
            spot->offset > static_cast<std::uint64_t>(INT64_MAX - count))
            return 0;
        loff_t in = static_cast<loff_t>(spot->offset);
        std::uint64_t done = 0;
        while (done < count) {
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(count - done, kCopyPiece));
            // The output's own file position moves, as a write moves it.
            const ssize_t n = ::copy_file_range(spot->fd, &in, fd_, nullptr, want, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;  // EXDEV, EINVAL, EIO, ENOSPC...: the caller's reads take over
            done += static_cast<std::uint64_t>(n);
        }
        pos_ += done;
        if (done != 0) holeAtEnd_ = false;
        return done;
#else
        (void)source, (void)offset;
        return 0;
#endif
    }

    bool WriteZeros(std::uint64_t count) override {
        if (failed_ || committed_) return false;
        if (count == 0) return true;
        std::uint64_t end;
        if (__builtin_add_overflow(pos_, count, &end) || end > INT64_MAX) return Fail(EFBIG);
        // Skipping ahead leaves a hole that reads as zeros and takes no space;
        // a hole at the very end is made by setting the size on Commit.
        if (::lseek(fd_, static_cast<off_t>(end), SEEK_SET) != static_cast<off_t>(end))
            return Fail();
        pos_ = end;
        holeAtEnd_ = true;
        return true;
    }

    bool Commit() override {
        if (committed_) return true;
        if (failed_ || !Close()) return false;
        if (::rename(tmp_.c_str(), final_.c_str()) != 0) return Fail();
        committed_ = true;
        return true;
    }

    CommitOutcome CommitNew(const std::string& path) override {
        if (committed_) return CommitOutcome::Committed;
        if (failed_ || !Close()) return CommitOutcome::Failed;
        const int e = MoveNoReplace(tmp_, path);
        if (e == EEXIST) return CommitOutcome::NameTaken;
        if (e != 0) {
            Fail(e);
            return CommitOutcome::Failed;
        }
        committed_ = true;
        return CommitOutcome::Committed;
    }

    int LastError() const override {
        return error_;
    }
    void KeepTimes(const FileTimes& times) override {
        times_ = times;
    }
    int TimesError() const override {
        return timesError_;
    }

private:
    bool Fail(int e = errno) {
        failed_ = true;
        error_ = e;
        return false;
    }

    // Ends the writing, once: sets the size a hole at the end leaves open and
    // closes the temporary file.
    bool Close() {
        if (fd_ < 0) return true;
        if (holeAtEnd_ && ::ftruncate(fd_, static_cast<off_t>(pos_)) != 0) return Fail();
        SetTimes();  // after the last change of the content, which would move them
        // No flush per file: a flush costs a journal commit, which made a
        // recovery of many small files a hundred times slower. The factory
        // flushes each output file system once, in Finish.
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) return Fail();
        return true;
    }

    void SetTimes() {
        if (!times_.modified && !times_.accessed) return;
        const timespec ts[2] = {ToTimespec(times_.accessed), ToTimespec(times_.modified)};
        if (::futimens(fd_, ts) != 0) timesError_ = errno;
    }

    int fd_;
    std::string tmp_, final_;
    FileTimes times_;
    int timesError_ = 0;
    std::uint64_t pos_ = 0;
    bool holeAtEnd_ = false;
    int error_ = 0;
    bool failed_ = false;
    bool committed_ = false;
};

class PosixOutputFactory final : public OutputFactory {
public:
    ErrorOr<std::unique_ptr<OutputFile>> Create(const std::string& finalPath) override {
        const fs::path p(finalPath);
        if (!p.has_filename())
            return Error::Make(ErrorCode::InvalidArgument, finalPath + ": no file name");
        std::string dir = p.parent_path().string();
        if (dir.empty()) dir = ".";
        for (int attempt = 0; attempt < 100; ++attempt) {
            // Hidden, and short enough for any name length the final file has.
            std::string tmp = dir + "/.qm-" + TempSuffix() + ".part";
            const int fd =
                ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
            if (fd >= 0) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    folders_.insert(dir);
                }
                return std::unique_ptr<OutputFile>(
                    std::make_unique<PosixOutputFile>(fd, std::move(tmp), finalPath));
            }
            const int e = errno;
            if (e == EEXIST || e == EINTR) continue;
            // The folder is looked at only now: one system call less per file.
            struct stat st {};
            if (::stat(dir.c_str(), &st) != 0)
                return Error::Make(errno == ENOENT ? ErrorCode::NotFound : ErrorCode::WriteFailed,
                                   dir + ": " + std::strerror(errno));
            if (!S_ISDIR(st.st_mode))
                return Error::Make(ErrorCode::WriteFailed, dir + ": not a folder");
            if (e == EACCES || e == EPERM || e == EROFS)
                return Error::Make(
                    ErrorCode::PermissionDenied,
                    dir + ": cannot write in this folder (" + std::strerror(e) + ")");
            return Error::Make(ErrorCode::WriteFailed, dir + ": " + std::strerror(e));
        }
        return Error::Make(ErrorCode::WriteFailed, dir + ": no free temporary name");
    }

    bool Finish() override {
        std::set<std::string> folders;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            folders.swap(folders_);
        }
        bool ok = true;
        std::set<dev_t> flushed;  // a tree of folders lies on one file system: flushed once
        for (const std::string& dir : folders) {
            const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0) continue;  // the folder is gone: nothing of it left to flush
            struct stat st {};
            const bool known = ::fstat(fd, &st) == 0;
            if (!known || flushed.insert(st.st_dev).second)
                if (::syncfs(fd) != 0) ok = false;
            ::close(fd);
        }
        return ok;
    }

private:
    std::mutex mutex_;
    std::set<std::string> folders_;  // where files were created since the last Finish
};

}  // namespace

OutputFactory& DefaultOutputFactory() {
    static PosixOutputFactory factory;
    return factory;
}

std::string SystemErrorText(int code) {
    return std::strerror(code);
}

bool IsOutOfSpace(int code) {
    return code == ENOSPC || code == EDQUOT;
}

}  // namespace qm
