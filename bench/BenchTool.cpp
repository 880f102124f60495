// qm-bench: the measuring helpers behind bench/run.sh.
//
//   qm-bench time [--out FILE] -- COMMAND [ARG...]
//       Runs COMMAND once (stdout to FILE or /dev/null, stderr to /dev/null)
//       and prints "wall_s user_s sys_s maxrss_kib status".
//   qm-bench mft-extents IMAGE
//       The MFT's bytes on the volume, one "offset length" line per stretch,
//       in MFT order (what a plain sequential read of the MFT has to read).
//   qm-bench profile IMAGE [REPEAT [CHUNK_BYTES]]
//       Where a scan's time goes, measured in this process: the raw read of the
//       MFT, read plus fixups, the whole walk (attribute lookup and rows), and
//       the command line's scan with its text output. Best of REPEAT runs.
//   qm-bench rows IMAGE
//       Heap bytes per row of a scan whose rows are all kept (as the window and
//       recover --all keep them), beyond the walk's own fixed buffers.
//   qm-bench floor-read IMAGE [CHUNK_BYTES]
//       The scan's floor: reads the MFT bytes the scan reads, in its chunks,
//       with page-aligned preads, and nothing else.
//   qm-bench records IMAGE
//       The number of records of the image's MFT.
//   qm-bench drop-cache FILE...
//       Drops what the page cache holds of each block device (BLKFLSBUF) or
//       file (POSIX_FADV_DONTNEED), so that the next read reaches the disk.
//   qm-bench floor-write MANIFEST OUTDIR
//       The recovery's floor: creates, writes and renames the files MANIFEST
//       lists ("size<TAB>path" lines, as find -printf '%s\t%P\n' gives them),
//       then flushes the output file system once.
#include <fcntl.h>
#include <linux/fs.h>
#include <malloc.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/Floors.h"
#include "cli/Cli.h"
#include "cli/HeldRows.h"
#include "ntfs/uNTFS.h"
#include "platform/AlignedBuffer.h"
#include "platform/RawVolume.h"
#include "scan/ScanEngine.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}
double Seconds(const timeval& tv) {
    return double(tv.tv_sec) + double(tv.tv_usec) / 1e6;
}

int Usage() {
    std::fputs(
        "usage: qm-bench time [--out FILE] -- COMMAND [ARG...]\n"
        "       qm-bench mft-extents IMAGE\n"
        "       qm-bench profile IMAGE [REPEAT [CHUNK_BYTES]]\n"
        "       qm-bench rows IMAGE\n"
        "       qm-bench floor-read IMAGE [CHUNK_BYTES]\n"
        "       qm-bench floor-write MANIFEST OUTDIR\n"
        "       qm-bench records IMAGE\n"
        "       qm-bench drop-cache FILE...\n",
        stderr);
    return 2;
}

// ---- time ----------------------------------------------------------------------

int Time(int argc, char** argv) {
    const char* out = "/dev/null";
    int i = 0;
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
            out = argv[++i];
        } else if (std::strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        } else {
            return Usage();
        }
    }
    if (i >= argc) return Usage();
    char** command = argv + i;

    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) {
        std::perror("fork");
        return 1;
    }
    if (pid == 0) {
        const int o = ::open(out, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int e = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (o < 0 || e < 0) _exit(126);
        ::dup2(o, 1);
        ::dup2(e, 2);
        ::execvp(command[0], command);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::perror("wait4");
            return 1;
        }
    }
    const double wall = Seconds(Clock::now() - start);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf("%.6f %.6f %.6f %ld %d\n", wall, Seconds(usage.ru_utime), Seconds(usage.ru_stime),
                usage.ru_maxrss, code);
    return 0;
}

// ---- The MFT of an image ----------------------------------------------------------

struct Opened {
    std::unique_ptr<qm::RawVolume> volume;
    qm::VolumeInfo info;
};

std::optional<Opened> Open(const char* image) {
    auto v = qm::OpenRawVolume(image);
    if (!v) {
        std::fprintf(stderr, "qm-bench: %s: %s\n", image, v.error().ToString().c_str());
        return std::nullopt;
    }
    Opened o{std::move(v).value(), {}};
    qm::SetupResult s = qm::SetupVolume(*o.volume);
    if (!s.info) {
        std::fprintf(stderr, "qm-bench: %s: %s\n", image, s.reason.c_str());
        return std::nullopt;
    }
    o.info = std::move(*s.info);
    return o;
}

std::vector<qm::MftMap::Piece> MftPieces(const qm::VolumeInfo& info) {
    const std::uint64_t bytes = std::uint64_t(info.MftRecordCount) * info.geometry.RecordSize;
    return info.map.Map(0, bytes);
}

int MftExtents(int argc, char** argv) {
    if (argc != 1) return Usage();
    auto o = Open(argv[0]);
    if (!o) return 1;
    for (const auto& p : MftPieces(o->info))
        if (p.mapped)
            std::printf("%llu %llu\n", static_cast<unsigned long long>(p.offset),
                        static_cast<unsigned long long>(p.length));
    return 0;
}

// ---- profile -------------------------------------------------------------------------

// Reads the MFT along its pieces, chunkBytes at a time; with `fixups`, applies them to
// every record of each chunk. Returns the number of records that passed.
std::uint64_t ReadMft(Opened& o, bool fixups, qm::AlignedBuffer& buf, std::uint32_t chunkBytes) {
    const std::uint32_t rs = o.info.geometry.RecordSize;
    const std::uint64_t chunk = std::max<std::uint64_t>(chunkBytes / rs, 1) * rs;
    // Page-aligned like the scan's chunk: a large vector's bytes start 16 bytes
    // past a page, where the kernel's copy runs several times slower.
    if (buf.size() < chunk) buf.Reset(chunk);
    std::uint64_t good = 0;
    const std::uint64_t total = std::uint64_t(o.info.MftRecordCount) * rs;
    for (std::uint64_t at = 0; at < total; at += chunk) {
        const std::uint64_t n = std::min(chunk, total - at);
        std::uint64_t filled = 0;
        for (const auto& p : o.info.map.Map(at, n)) {
            std::span<std::uint8_t> dst(buf.data() + filled, p.length);
            if (p.mapped) o.volume->ReadAt(p.offset, dst);
            filled += p.length;
        }
        if (fixups)
            for (std::uint64_t r = 0; r + rs <= n; r += rs)
                good += qm::ApplyFixups(std::span<std::uint8_t>(buf.data() + r, rs),
                                        o.info.geometry.BytesPerSector);
    }
    return good;
}

struct CountRows final : qm::ScanObserver {
    std::uint64_t rows = 0;
    void OnRow(qm::ScanRow&&) override { ++rows; }
};

template <typename Fn>
double Best(int repeat, Fn&& fn) {
    double best = 1e30;
    for (int i = 0; i < repeat; ++i) {
        const auto t0 = Clock::now();
        fn();
        best = std::min(best, Seconds(Clock::now() - t0));
    }
    return best;
}

int Profile(int argc, char** argv) {
    if (argc < 1 || argc > 3) return Usage();
    const int repeat = argc >= 2 ? std::max(1, std::atoi(argv[1])) : 5;
    qm::ScanOptions options;
    if (argc == 3)
        options.chunkBytes = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 0));
    auto o = Open(argv[0]);
    if (!o) return 1;
    qm::AlignedBuffer buf;
    std::uint64_t rows = 0;
    const double read = Best(repeat, [&] { ReadMft(*o, false, buf, options.chunkBytes); });
    const double fixed = Best(repeat, [&] { ReadMft(*o, true, buf, options.chunkBytes); });
    const double walk = Best(repeat, [&] {
        auto v = qm::OpenRawVolume(argv[0]);
        CountRows count;
        std::atomic<bool> stop{false};
        qm::RunScan(**v, count, stop, options);
        rows = count.rows;
    });
    std::FILE* devnull = std::fopen("/dev/null", "w");
    const double tsv = Best(repeat, [&] { qm::cli::Run({"scan", argv[0]}, devnull, devnull); });
    const double json = Best(repeat, [&] {
        qm::cli::Run({"scan", argv[0], "--json"}, devnull, devnull);
    });
    std::fclose(devnull);
    const double records = double(o->info.MftRecordCount);
    std::printf("records %lld rows %llu (best of %d, in-process, %u-byte reads)\n",
                static_cast<long long>(o->info.MftRecordCount),
                static_cast<unsigned long long>(rows), repeat, options.chunkBytes);
    auto line = [&](const char* what, double s, double before) {
        std::printf("  %-34s %8.4f s  %7.1f ns/record  (+%.4f s)\n", what, s, s / records * 1e9,
                    s - before);
    };
    line("read the MFT", read, 0);
    line("+ fixups of every record", fixed, read);
    line("+ flags, attribute lookup, rows", walk, fixed);
    line("+ TSV text to /dev/null (CLI scan)", tsv, walk);
    line("  JSON instead of TSV", json, walk);
    return 0;
}

// ---- rows ---------------------------------------------------------------------------

struct KeepRows final : qm::ScanObserver {
    qm::cli::HeldRows rows{false};  // as the command line holds them for a TSV listing
    void OnRow(qm::ScanRow&& row) override { rows.Add(row); }
};

std::size_t HeapInUse() {
    return mallinfo2().uordblks + mallinfo2().hblkhd;
}

int Rows(int argc, char** argv) {
    if (argc != 1) return Usage();
    auto v = qm::OpenRawVolume(argv[0]);
    if (!v) return 1;
    std::atomic<bool> stop{false};
    // The walk's own buffers, without keeping rows: the fixed base.
    std::size_t base;
    {
        CountRows count;
        const std::size_t before = HeapInUse();
        qm::RunScan(**v, count, stop);
        base = HeapInUse() - before;
    }
    // Rows kept as the command line keeps them until their paths are printed:
    // deleted folders and streams included, the folder table held.
    const std::size_t before = HeapInUse();
    KeepRows keep;
    qm::ScanOptions listing;
    listing.foldersAndStreams = true;
    const qm::ScanSummary summary = qm::RunScan(**v, keep, stop, listing);
    const std::size_t after = HeapInUse();
    const double perRow =
        keep.rows.size() == 0 ? 0 : double(after - before) / double(keep.rows.size());
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf(
        "rows %zu heap_kept_bytes %zu bytes_per_row %.1f walk_leftover_bytes %zu maxrss_kib %ld "
        "folders %zu folder_bytes %zu\n",
        keep.rows.size(), after - before, perRow, base, usage.ru_maxrss,
        summary.folders ? summary.folders->size() : 0,
        summary.folders ? summary.folders->BytesHeld() : 0);
    return 0;
}

// ---- floors ---------------------------------------------------------------------------

int FloorRead(int argc, char** argv) {
    if (argc < 1 || argc > 2) return Usage();
    qm::ScanOptions options;
    if (argc == 2)
        options.chunkBytes = static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 0));
    auto o = Open(argv[0]);
    if (!o) return 1;
    const std::uint64_t read = qm::bench::FloorReadMft(argv[0], o->info, options.chunkBytes);
    std::printf("read %llu\n", static_cast<unsigned long long>(read));
    return read == 0 ? 1 : 0;
}

int DropCache(int argc, char** argv) {
    if (argc < 1) return Usage();
    int failed = 0;
    for (int i = 0; i < argc; ++i) {
        const int fd = ::open(argv[i], O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0) {
            std::perror(argv[i]);
            failed = 1;
            if (fd >= 0) ::close(fd);
            continue;
        }
        if (S_ISBLK(st.st_mode) && ::ioctl(fd, BLKFLSBUF, 0) != 0) {
            std::perror(argv[i]);
            failed = 1;
        }
        if (::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) != 0) failed = 1;
        ::close(fd);
    }
    return failed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string cmd = argv[1];
    if (cmd == "time") return Time(argc - 2, argv + 2);
    if (cmd == "mft-extents") return MftExtents(argc - 2, argv + 2);
    if (cmd == "profile") return Profile(argc - 2, argv + 2);
    if (cmd == "rows") return Rows(argc - 2, argv + 2);
    if (cmd == "floor-read") return FloorRead(argc - 2, argv + 2);
    if (cmd == "drop-cache") return DropCache(argc - 2, argv + 2);
    if (cmd == "records") {
        auto o = argc == 3 ? Open(argv[2]) : std::nullopt;
        if (!o) return argc == 3 ? 1 : Usage();
        std::printf("%lld\n", static_cast<long long>(o->info.MftRecordCount));
        return 0;
    }
    if (cmd == "floor-write") return argc == 4 ? qm::bench::FloorWrite(argv[2], argv[3]) : Usage();
    return Usage();
}
