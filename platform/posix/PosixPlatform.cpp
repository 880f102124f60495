// POSIX side of the platform layer (first cut; see the platform tests).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <random>

#include "platform/Platform.h"

namespace qm {

std::vector<std::string> ListFixedDrives() {
    return DiscoverBlockDevices("/sys/class/block", "/dev");
}

std::vector<std::string> DiscoverBlockDevices(const std::filesystem::path&,
                                              const std::filesystem::path&) {
    return {};
}

std::optional<std::string> SystemVolumeLabel(std::string_view) { return std::nullopt; }

std::string Utf16ToAnsi(std::u16string_view text) { return Utf16ToUtf8(text); }

std::optional<LocalDateTime> FileTimeToUtc(std::uint64_t ft) {
    if (ft >= (std::uint64_t{1} << 63)) return std::nullopt;
    constexpr std::int64_t kEpochDiff = 11644473600LL;  // 1601 to 1970 in seconds
    std::int64_t secs = static_cast<std::int64_t>(ft / 10000000) - kEpochDiff;
    time_t t = static_cast<time_t>(secs);
    struct tm tmv {};
    if (!gmtime_r(&t, &tmv)) return std::nullopt;
    return LocalDateTime{tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour,
                         tmv.tm_min,         tmv.tm_sec,     static_cast<int>((ft / 10000) % 1000)};
}

std::optional<LocalDateTime> UtcToLocal(const LocalDateTime& utc) {
    struct tm tmv {};
    tmv.tm_year = utc.year - 1900;
    tmv.tm_mon = utc.month - 1;
    tmv.tm_mday = utc.day;
    tmv.tm_hour = utc.hour;
    tmv.tm_min = utc.minute;
    tmv.tm_sec = utc.second;
    time_t t = timegm(&tmv);
    struct tm lt {};
    if (!localtime_r(&t, &lt)) return std::nullopt;
    return LocalDateTime{lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour,
                         lt.tm_min,         lt.tm_sec,     utc.millisecond};
}

LocaleFormats ReadLocaleFormats() { return LocaleFormats{}; }

namespace {

class PosixOutputFile final : public OutputFile {
public:
    PosixOutputFile(int fd, std::string tmp, std::string final)
        : fd_(fd), tmp_(std::move(tmp)), final_(std::move(final)) {}
    ~PosixOutputFile() override {
        if (fd_ >= 0) ::close(fd_);
        if (!committed_) ::unlink(tmp_.c_str());
    }
    bool Write(std::span<const std::uint8_t> bytes) override {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    bool WriteZeros(std::uint64_t count) override {
        off_t cur = ::lseek(fd_, 0, SEEK_CUR);
        if (cur < 0) return false;
        std::uint64_t end;
        if (__builtin_add_overflow(static_cast<std::uint64_t>(cur), count, &end) || end > INT64_MAX)
            return false;
        return ::ftruncate(fd_, static_cast<off_t>(end)) == 0 &&
               ::lseek(fd_, static_cast<off_t>(end), SEEK_SET) == static_cast<off_t>(end);
    }
    bool Commit() override {
        if (committed_) return true;
        if (::close(fd_) != 0) {
            fd_ = -1;
            return false;
        }
        fd_ = -1;
        if (::rename(tmp_.c_str(), final_.c_str()) != 0) return false;
        committed_ = true;
        return true;
    }

private:
    int fd_;
    std::string tmp_, final_;
    bool committed_ = false;
};

class PosixOutputFactory final : public OutputFactory {
public:
    ErrorOr<std::unique_ptr<OutputFile>> Create(const std::string& finalPath) override {
        std::filesystem::path p(finalPath);
        std::string dir = p.parent_path().string();
        if (dir.empty()) dir = ".";
        std::string tmpl = dir + "/.quillmere-XXXXXX";
        int fd = ::mkstemp(tmpl.data());
        if (fd < 0) return Error::Make(ErrorCode::WriteFailed, finalPath + ": cannot create");
        ::fchmod(fd, 0644);
        return std::unique_ptr<OutputFile>(std::make_unique<PosixOutputFile>(fd, tmpl, finalPath));
    }
};

}  // namespace

OutputFactory& DefaultOutputFactory() {
    static PosixOutputFactory factory;
    return factory;
}

bool FolderIsOnSource(const std::string&, const std::string&) { return false; }

}  // namespace qm
