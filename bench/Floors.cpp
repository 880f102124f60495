// The floors the benchmark measures Quillmere against: the least work any
// program must do for the same job on this machine.
#include "bench/Floors.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include "platform/AlignedBuffer.h"
#include "platform/RawVolume.h"

namespace qm::bench {
namespace {

// The first record the scan's walk reads in chunks; 0 to 15 are read one by one.
constexpr std::uint64_t kFirstWalked = 16;

bool PreadAll(int fd, std::uint8_t* data, std::size_t n, std::uint64_t pos) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t r = ::pread(fd, data + done, n - done, static_cast<off_t>(pos + done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += static_cast<std::size_t>(r);
    }
    return true;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t r = ::write(fd, data + done, n - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += static_cast<std::size_t>(r);
    }
    return true;
}

// Reads MFT bytes [from, from + n) piece by piece into `buf`.
bool ReadPieces(int fd, const VolumeInfo& info, std::uint64_t from, std::uint64_t n,
                std::uint8_t* buf) {
    std::uint64_t at = 0;
    for (const MftMap::Piece& p : info.map.Map(from, n)) {
        if (p.mapped && !PreadAll(fd, buf + at, static_cast<std::size_t>(p.length), p.offset))
            return false;
        at += p.length;
    }
    return true;
}

// Creates every folder of `rel` below `root` that `made` does not hold yet.
bool MakeParents(const std::string& root, const std::string& rel, std::set<std::string>& made) {
    for (std::size_t slash = rel.find('/'); slash != std::string::npos;
         slash = rel.find('/', slash + 1)) {
        const std::string dir = rel.substr(0, slash);
        if (!made.insert(dir).second) continue;
        if (::mkdir((root + "/" + dir).c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    return true;
}

// One file as the recovery writes one: a temporary beside it, the bytes, a
// rename that replaces nothing.
bool WriteOne(const std::string& path, std::uint64_t size, const AlignedBuffer& bytes) {
    const std::string tmp = path + ".floor-tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool ok = true;
    for (std::uint64_t done = 0; ok && done < size;) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), size - done));
        ok = WriteAll(fd, bytes.data(), n);
        done += n;
    }
    ok = ::close(fd) == 0 && ok;
    return ok && ::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0;
}

}  // namespace

std::uint64_t FloorReadMft(const char* image, const VolumeInfo& info, std::uint32_t chunkBytes) {
    const int fd = ::open(image, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const std::uint64_t rs = info.geometry.RecordSize;
    const std::uint64_t count =
        static_cast<std::uint64_t>(std::max<std::int64_t>(info.MftRecordCount, 0));
    const std::uint64_t perChunk = std::max<std::uint64_t>(chunkBytes / rs, 1);
    AlignedBuffer buf(static_cast<std::size_t>(perChunk * rs));
    std::uint64_t read = 0;
    // Records 0 to 15, then the walk's chunks from record 16 on, as the scan reads them.
    const std::uint64_t head = std::min(count, kFirstWalked);
    if (head && ReadPieces(fd, info, 0, head * rs, buf.data())) read += head * rs;
    for (std::uint64_t first = head; first < count; first += perChunk) {
        const std::uint64_t n = std::min(perChunk, count - first) * rs;
        if (!ReadPieces(fd, info, first * rs, n, buf.data())) break;
        read += n;
    }
    ::close(fd);
    return read;
}

int FloorWrite(const char* manifest, const char* outDir) {
    std::ifstream in(manifest);
    if (!in) {
        std::fprintf(stderr, "qm-bench: cannot read %s\n", manifest);
        return 1;
    }
    const std::string root = outDir;
    if (::mkdir(outDir, 0777) != 0 && errno != EEXIST) {
        std::perror(outDir);
        return 1;
    }
    AlignedBuffer bytes(1u << 20);
    std::memset(bytes.data(), 0x5a, bytes.size());
    std::set<std::string> made;
    std::string line;
    std::uint64_t files = 0;
    while (std::getline(in, line)) {
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        const std::uint64_t size = std::strtoull(line.c_str(), nullptr, 10);
        const std::string rel = line.substr(tab + 1);
        if (!MakeParents(root, rel, made) || !WriteOne(root + "/" + rel, size, bytes)) {
            std::fprintf(stderr, "qm-bench: %s/%s: %s\n", outDir, rel.c_str(),
                         std::strerror(errno));
            return 1;
        }
        ++files;
    }
    // One flush of the output file system at the end, as the recovery does.
    const int dir = ::open(outDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool flushed = dir >= 0 && ::syncfs(dir) == 0;
    if (dir >= 0) ::close(dir);
    if (!flushed) {
        std::perror("syncfs");
        return 1;
    }
    std::printf("files %llu\n", static_cast<unsigned long long>(files));
    return 0;
}

}  // namespace qm::bench
