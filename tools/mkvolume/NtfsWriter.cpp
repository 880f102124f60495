#include "tools/mkvolume/NtfsWriter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>

// libntfs-3g's headers expect these to be included first.
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
extern "C" {
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/bitmap.h>
#include <ntfs-3g/device.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/types.h>
#include <ntfs-3g/volume.h>
}
// support.h defines these as macros.
#undef min
#undef max

extern char** environ;

namespace qm::mkvolume {
namespace {

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + (errno ? std::string(": ") + std::strerror(errno) : ""));
}

// ---- Device operations ---------------------------------------------------------
// A plain image file, except that runs of zero bytes are punched out as holes
// instead of written: libntfs-3g zero-fills clusters in places (between the
// initialized size and a later write), and the big test files would otherwise
// cost gigabytes of disk.

int Fd(struct ntfs_device* dev) {
    return *static_cast<int*>(dev->d_private);
}

int DevOpen(struct ntfs_device* dev, int flags) {
    if (NDevOpen(dev)) {
        errno = EBUSY;
        return -1;
    }
    int fd = ::open(dev->d_name, (flags & O_ACCMODE) | O_CLOEXEC);
    if (fd < 0) return -1;
    dev->d_private = new int(fd);
    if ((flags & O_ACCMODE) == O_RDONLY) NDevSetReadOnly(dev);
    NDevSetOpen(dev);
    return 0;
}

int DevClose(struct ntfs_device* dev) {
    if (!NDevOpen(dev)) {
        errno = EBADF;
        return -1;
    }
    int fd = Fd(dev);
    if (NDevDirty(dev)) ::fsync(fd);
    delete static_cast<int*>(dev->d_private);
    dev->d_private = nullptr;
    NDevClearOpen(dev);
    return ::close(fd);
}

s64 DevSeek(struct ntfs_device* dev, s64 offset, int whence) {
    return ::lseek(Fd(dev), offset, whence);
}
s64 DevRead(struct ntfs_device* dev, void* buf, s64 count) {
    return ::read(Fd(dev), buf, count);
}
s64 DevPread(struct ntfs_device* dev, void* buf, s64 count, s64 offset) {
    return ::pread(Fd(dev), buf, count, offset);
}

bool AllZero(const void* buf, s64 count) {
    const auto* p = static_cast<const unsigned char*>(buf);
    for (s64 i = 0; i < count; ++i) {
        if (p[i] != 0) return false;
    }
    return true;
}

s64 DevPwrite(struct ntfs_device* dev, const void* buf, s64 count, s64 offset) {
    NDevSetDirty(dev);
    if (count >= 4096 && AllZero(buf, count) &&
        ::fallocate(Fd(dev), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, count) == 0) {
        return count;
    }
    return ::pwrite(Fd(dev), buf, count, offset);
}

s64 DevWrite(struct ntfs_device* dev, const void* buf, s64 count) {
    off_t at = ::lseek(Fd(dev), 0, SEEK_CUR);
    if (at < 0) return -1;
    s64 n = DevPwrite(dev, buf, count, at);
    if (n > 0) ::lseek(Fd(dev), at + n, SEEK_SET);
    return n;
}

int DevSync(struct ntfs_device* dev) {
    NDevClearDirty(dev);
    return ::fsync(Fd(dev));
}
int DevStat(struct ntfs_device* dev, struct stat* st) {
    return ::fstat(Fd(dev), st);
}
int DevIoctl(struct ntfs_device*, unsigned long, void*) {
    errno = ENOTTY;
    return -1;
}

struct ntfs_device_operations kImageOps = {DevOpen,  DevClose,  DevSeek, DevRead, DevWrite,
                                           DevPread, DevPwrite, DevSync, DevStat, DevIoctl};

// ---- Names -------------------------------------------------------------------------

std::vector<ntfschar> ToUtf16(const std::string& utf8) {
    std::vector<ntfschar> out;
    for (std::size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        std::uint32_t cp;
        std::size_t n;
        if (c < 0x80) {
            cp = c;
            n = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            n = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            n = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            n = 4;
        } else {
            throw std::runtime_error("name is not UTF-8: " + utf8);
        }
        if (i + n > utf8.size()) throw std::runtime_error("name is not UTF-8: " + utf8);
        for (std::size_t k = 1; k < n; ++k) {
            unsigned char t = static_cast<unsigned char>(utf8[i + k]);
            if ((t & 0xC0) != 0x80) throw std::runtime_error("name is not UTF-8: " + utf8);
            cp = cp << 6 | (t & 0x3F);
        }
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(cpu_to_le16(static_cast<u16>(0xD800 | (cp >> 10))));
            out.push_back(cpu_to_le16(static_cast<u16>(0xDC00 | (cp & 0x3FF))));
        } else {
            out.push_back(cpu_to_le16(static_cast<u16>(cp)));
        }
    }
    if (out.empty() || out.size() > 255) throw std::runtime_error("bad name length: " + utf8);
    return out;
}

std::pair<std::string, std::string> SplitPath(const std::string& path) {
    auto slash = path.rfind('/');
    std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    return {parent, path.substr(slash + 1)};
}

// ---- mkntfs -------------------------------------------------------------------------

void RunMkntfs(const WriterOptions& options, const VolumeSpec& v, const std::string& image) {
    std::vector<std::string> args = {options.mkntfs,
                                     "-F",
                                     "-q",
                                     "-f",
                                     "-T",
                                     "-c",
                                     std::to_string(v.clusterSize),
                                     "-s",
                                     std::to_string(v.sectorSize)};
    if (!v.label.empty()) {
        args.push_back("-L");
        args.push_back(v.label);
    }
    if (v.mftZone) {
        args.push_back("-z");
        args.push_back(std::to_string(*v.mftZone));
    }
    args.push_back(image);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    // mkntfs talks about boot sectors on stderr even with -q; keep it out of
    // the way unless asked.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!options.verbose) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        errno = rc;
        Fail("cannot run " + options.mkntfs);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) Fail("waitpid");
    }
    errno = 0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        Fail("mkntfs failed on " + image + " (run with -v to see why)");
    }
}

// ---- The writer ------------------------------------------------------------------------

struct ClusterRun {
    std::int64_t lcn = 0;
    std::int64_t length = 0;
};

struct Entry {
    FileSpec spec;
    std::uint64_t record = 0;
    bool deleted = false;
    bool attrList = false;         // its attributes spread over extension records
    bool sparse = false;           // its $DATA has the sparse flag
    std::vector<ClusterRun> runs;  // clusters of its $DATA when it was deleted
    std::string parentDir;         // the folder it was made in
};

class Writer {
public:
    Writer(const Description& d, const std::string& image, const WriterOptions& options)
        : d_(d), image_(image), options_(options) {}

    ~Writer() {
        if (vol_) ntfs_umount(vol_, TRUE);
    }

    std::vector<ManifestEntry> Run() {
        Format();
        Mount();
        dirs_["/"] = FILE_root;
        for (const Step& s : d_.steps) {
            switch (s.kind) {
                case Step::Dir:
                    MakeDir(s.path, s.compressed);
                    break;
                case Step::File:
                    WriteFile(s.file);
                    break;
                case Step::MftFill:
                    MftFill(s.fill);
                    break;
                case Step::Ballast:
                    Ballast(s.path, s.leave);
                    break;
                case Step::Stream:
                    WriteStream(s.file);
                    break;
                case Step::Delete:
                    for (const std::string& path : s.deletions) Delete(path);
                    break;
            }
        }
        if (!options_.keepLast) {
            for (const std::string& path : d_.deletions) Delete(path);
            for (const std::string& path : fillDeletions_) Delete(path);
        }
        const std::vector<std::uint8_t> bitmap = ClusterBitmap();
        errno = 0;
        if (ntfs_umount(vol_, FALSE) != 0) Fail("unmount failed");
        vol_ = nullptr;
        return Manifest(bitmap);
    }

private:
    void Format() {
        ::unlink(image_.c_str());
        int fd = ::open(image_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) Fail("cannot create " + image_);
        if (::ftruncate(fd, static_cast<off_t>(d_.volume.size)) != 0) {
            ::close(fd);
            Fail("cannot size " + image_);
        }
        ::close(fd);
        RunMkntfs(options_, d_.volume, image_);
    }

    void Mount() {
        errno = 0;
        struct ntfs_device* dev = ntfs_device_alloc(image_.c_str(), 0, &kImageOps, nullptr);
        if (!dev) Fail("ntfs_device_alloc");
        vol_ = ntfs_device_mount(dev, NTFS_MNT_NONE);
        if (!vol_) {
            int e = errno;
            ntfs_device_free(dev);
            errno = e;
            Fail("cannot mount " + image_ + " with libntfs-3g");
        }
        clusterSize_ = vol_->cluster_size;
    }

    ntfs_inode* OpenDir(const std::string& path) {
        auto it = dirs_.find(path);
        if (it == dirs_.end()) {
            errno = 0;
            Fail("no directory " + path + " (create it with dir first)");
        }
        ntfs_inode* ni = ntfs_inode_open(vol_, it->second);
        if (!ni) Fail("cannot open directory " + path);
        return ni;
    }

    // Creates `path`; on failure returns nullptr with errno set.
    ntfs_inode* Create(const std::string& path, mode_t type) {
        auto [parent, name] = SplitPath(path);
        std::vector<ntfschar> uname = ToUtf16(name);
        ntfs_inode* dir = OpenDir(parent);
        errno = 0;
        ntfs_inode* ni = ntfs_create(dir, const_cpu_to_le32(0), uname.data(),
                                     static_cast<u8>(uname.size()), type);
        int e = errno;
        ntfs_inode_close(dir);
        errno = e;
        if (ni) {
            // A folder deleted earlier whose record this is: what was in it is orphaned.
            for (auto& [dirPath, record] : deletedDirs_) {
                if (record == ni->mft_no) reusedDirs_.insert(dirPath);
            }
        }
        return ni;
    }

    // Creates `path` in the MFT record of the deleted `reuse`. libntfs-3g
    // hands out records from a cursor, searching a byte of the MFT bitmap at
    // a time: the cursor goes to the byte of the record, and the free records
    // before it in that byte are marked in use until the file has its record.
    ntfs_inode* CreateInRecordOf(const std::string& path, const std::string& reuse) {
        const std::uint64_t record = DeletedRecord(reuse);
        std::vector<s64> held;
        for (std::uint64_t r = record & ~std::uint64_t{7}; r < record; ++r) {
            std::uint8_t byte = 0;
            if (ntfs_attr_pread(vol_->mftbmp_na, static_cast<s64>(r / 8), 1, &byte) != 1)
                Fail("cannot read the MFT bitmap");
            if (byte >> (r % 8) & 1) continue;
            if (ntfs_bitmap_set_bit(vol_->mftbmp_na, static_cast<s64>(r)) != 0)
                Fail("cannot hold MFT record " + std::to_string(r));
            held.push_back(static_cast<s64>(r));
        }
        vol_->mft_data_pos = static_cast<s64>(record & ~std::uint64_t{7});
        ntfs_inode* ni = Create(path, S_IFREG);
        const int e = errno;
        for (s64 r : held) {
            if (ntfs_bitmap_clear_bit(vol_->mftbmp_na, r) != 0)
                Fail("cannot free MFT record " + std::to_string(r));
        }
        errno = e;
        if (ni && ni->mft_no != record) {
            errno = 0;
            Fail(path + " took record " + std::to_string(ni->mft_no) + " instead of " +
                 std::to_string(record) + " of " + reuse);
        }
        return ni;
    }

    std::uint64_t DeletedRecord(const std::string& path) {
        if (auto d = deletedDirs_.find(path); d != deletedDirs_.end()) return d->second;
        auto it = byPath_.find(path);
        if (it == byPath_.end() || !entries_[it->second].deleted) {
            errno = 0;
            Fail(path + " is not deleted (yet)");
        }
        return entries_[it->second].record;
    }

    void MakeDir(const std::string& path, bool compressed = false) {
        if (dirs_.count(path)) return;
        ntfs_inode* ni = Create(path, S_IFDIR);
        if (!ni) Fail("cannot create directory " + path);
        dirs_[path] = ni->mft_no;
        if (compressed) {
            // The folder's own flag: Windows gives it to the files made in it.
            ni->flags = static_cast<FILE_ATTR_FLAGS>(ni->flags | FILE_ATTR_COMPRESSED);
            NInoFileNameSetDirty(ni);
            ntfs_inode_mark_dirty(ni);
            compressedDirs_.insert(path);
        }
        ntfs_inode_close(ni);
    }

    // Marks the empty $DATA of a new file compressed: libntfs-3g then writes
    // it in LZNT1 compression units.
    void SetCompressed(ntfs_inode* ni, const std::string& path) {
        errno = 0;
        if (ntfs_attr_set_flags(ni, AT_DATA, AT_UNNAMED, 0, ATTR_IS_COMPRESSED,
                                ATTR_COMPRESSION_MASK) != 0) {
            Fail("cannot mark " + path + " compressed");
        }
        ni->flags = static_cast<FILE_ATTR_FLAGS>(ni->flags | FILE_ATTR_COMPRESSED);
        NInoFileNameSetDirty(ni);
        ntfs_inode_mark_dirty(ni);
    }

    // A compressed file must come out compressed: non-resident with a compression unit.
    void CheckCompressed(ntfs_attr* na, const std::string& path) {
        if (NAttrNonResident(na) &&
            (!(na->data_flags & ATTR_IS_COMPRESSED) || na->compression_block_clusters == 0)) {
            errno = 0;
            Fail(path + " was written without compression");
        }
    }

    void SetEncrypted(ntfs_inode* ni) {
        ni->flags = static_cast<FILE_ATTR_FLAGS>(ni->flags | FILE_ATTR_ENCRYPTED);
        NInoFileNameSetDirty(ni);
        ntfs_inode_mark_dirty(ni);
    }

    bool WantsCompression(const FileSpec& f) const {
        return f.compressed || compressedDirs_.count(SplitPath(f.path).first);
    }

    ntfs_attr* OpenData(ntfs_inode* ni, const std::string& path) {
        errno = 0;
        ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
        if (!na) Fail("cannot open the data of " + path);
        return na;
    }

    // Writes [offset, offset + length) of the file's content in `chunk`-byte calls.
    void WriteRange(ntfs_attr* na, const FileSpec& f, std::uint64_t offset, std::uint64_t length,
                    std::uint64_t chunk) {
        std::vector<std::uint8_t> buf(
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk, length)));
        while (length > 0) {
            const std::uint64_t n = std::min<std::uint64_t>(buf.size(), length);
            std::span<std::uint8_t> part(buf.data(), static_cast<std::size_t>(n));
            FillContent(f, offset, part);
            std::uint64_t done = 0;
            while (done < n) {
                errno = 0;
                s64 w = ntfs_attr_pwrite(na, static_cast<s64>(offset + done),
                                         static_cast<s64>(n - done), part.data() + done);
                if (w <= 0)
                    Fail("write failed in " + f.path + " at " + std::to_string(offset + done));
                done += static_cast<std::uint64_t>(w);
            }
            offset += n;
            length -= n;
        }
    }

    // A file whose attributes no longer fit its record gets an attribute list
    // and extension records; a deleted one is then not findable from its base
    // record alone, so the described volumes keep every file in one record.
    void CheckSingleRecord(ntfs_inode* ni, const FileSpec& f) {
        if (NInoAttrList(ni)) {
            errno = 0;
            Fail(f.path + " no longer fits in one MFT record (too many runs); make it smaller");
        }
    }

    static Entry NewEntry(const FileSpec& f, std::uint64_t record) {
        Entry e;
        e.spec = f;
        e.record = record;
        e.parentDir = SplitPath(f.path).first;
        return e;
    }

    Entry& Register(const FileSpec& f, std::uint64_t record) {
        if (byPath_.count(f.path)) {
            errno = 0;
            Fail("written twice: " + f.path);
        }
        entries_.push_back(NewEntry(f, record));
        byPath_[f.path] = entries_.size() - 1;
        return entries_.back();
    }

    void WriteFile(const FileSpec& f) {
        if (f.kind == FileKind::Fragmented) return WriteFragmented(f);
        ntfs_inode* ni =
            f.reuse.empty() ? Create(f.path, S_IFREG) : CreateInRecordOf(f.path, f.reuse);
        if (!ni) Fail("cannot create " + f.path);
        if (WantsCompression(f)) SetCompressed(ni, f.path);
        if (!f.over.empty()) AllocateFrom(f.over);
        ntfs_attr* na = OpenData(ni, f.path);
        errno = 0;
        switch (f.kind) {
            case FileKind::Sparse:
                if (ntfs_attr_truncate(na, static_cast<s64>(f.size)) != 0)
                    Fail("cannot size " + f.path);
                for (const Piece& p : f.pieces) WriteRange(na, f, p.offset, p.length, 1 << 20);
                // A compressed file ends where its last write ended (libntfs-3g
                // does not extend it by truncation): its last byte, a zero, is
                // written after the pieces.
                if (na->data_size < static_cast<s64>(f.size)) {
                    const std::uint8_t zero = 0;
                    if (ntfs_attr_pwrite(na, static_cast<s64>(f.size) - 1, 1, &zero) != 1)
                        Fail("cannot size " + f.path);
                }
                break;
            case FileKind::Solid:
                if (ntfs_attr_truncate_solid(na, static_cast<s64>(f.size)) != 0) {
                    Fail("cannot allocate " + f.path);
                }
                for (const Piece& p : f.pieces) WriteRange(na, f, p.offset, p.length, 1 << 20);
                break;
            default:
                WriteRange(na, f, 0, f.size, 1 << 20);
                break;
        }
        ReleaseHeld();
        FinishData(ni, na, f);
    }

    // Flushes the last compression block, checks what became of the file and
    // closes it.
    void FinishData(ntfs_inode* ni, ntfs_attr* na, const FileSpec& f) {
        errno = 0;
        if (NAttrCompressed(na) && ntfs_attr_pclose(na) != 0) Fail("cannot finish " + f.path);
        if (WantsCompression(f)) CheckCompressed(na, f.path);
        const bool sparse = NAttrSparse(na);
        ntfs_attr_close(na);
        if (f.attrList && !NInoAttrList(ni)) {
            errno = 0;
            Fail(f.path + " still fits in one MFT record; give it more runs");
        }
        if (!f.attrList) CheckSingleRecord(ni, f);
        if (f.encrypted) SetEncrypted(ni);
        Entry& e = Register(f, ni->mft_no);
        e.attrList = NInoAttrList(ni);
        e.sparse = sparse;
        if (ntfs_inode_close(ni) != 0) Fail("cannot close " + f.path);
    }

    // The next clusters libntfs-3g allocates start at the first cluster the
    // deleted `path` had, so that a new file overwrites it. The allocator
    // searches the cluster bitmap a byte at a time from its cursor: the free
    // clusters before the first one in its byte are held until ReleaseHeld.
    void AllocateFrom(const std::string& path) {
        auto it = byPath_.find(path);
        if (it == byPath_.end() || !entries_[it->second].deleted ||
            entries_[it->second].runs.empty()) {
            errno = 0;
            Fail("over=" + path + ": not a deleted file with clusters");
        }
        const auto lcn = static_cast<std::uint64_t>(entries_[it->second].runs.front().lcn);
        for (std::uint64_t c = lcn & ~std::uint64_t{7}; c < lcn; ++c) {
            std::uint8_t byte = 0;
            if (ntfs_attr_pread(vol_->lcnbmp_na, static_cast<s64>(c / 8), 1, &byte) != 1)
                Fail("cannot read the cluster bitmap");
            if (byte >> (c % 8) & 1) continue;
            if (ntfs_bitmap_set_bit(vol_->lcnbmp_na, static_cast<s64>(c)) != 0)
                Fail("cannot hold cluster " + std::to_string(c));
            heldClusters_.push_back(static_cast<s64>(c));
        }
        vol_->data1_zone_pos = static_cast<LCN>(lcn & ~std::uint64_t{7});
    }

    void ReleaseHeld() {
        for (s64 c : heldClusters_) {
            if (ntfs_bitmap_clear_bit(vol_->lcnbmp_na, c) != 0)
                Fail("cannot free cluster " + std::to_string(c));
        }
        heldClusters_.clear();
    }

    // A named $DATA on a file written before.
    void WriteStream(const FileSpec& f) {
        auto it = byPath_.find(f.path);
        if (it == byPath_.end() || entries_[it->second].deleted) {
            errno = 0;
            Fail("stream " + f.stream + ": no live file " + f.path);
        }
        ntfs_inode* ni = ntfs_inode_open(vol_, entries_[it->second].record);
        if (!ni) Fail("cannot open " + f.path);
        std::vector<ntfschar> uname = ToUtf16(f.stream);
        errno = 0;
        if (ntfs_attr_add(ni, AT_DATA, uname.data(), static_cast<u8>(uname.size()), nullptr, 0) !=
            0) {
            Fail("cannot add stream " + f.stream + " to " + f.path);
        }
        ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, uname.data(), static_cast<u32>(uname.size()));
        if (!na) Fail("cannot open stream " + f.stream + " of " + f.path);
        WriteRange(na, f, 0, f.size, 1 << 20);
        ntfs_attr_close(na);
        CheckSingleRecord(ni, f);
        entries_.push_back(NewEntry(f, ni->mft_no));
        if (ntfs_inode_close(ni) != 0) Fail("cannot close " + f.path);
    }

    std::uint64_t FreeClusters() {
        if (ntfs_volume_get_free_space(vol_) != 0) Fail("cannot count free clusters");
        return static_cast<std::uint64_t>(vol_->free_clusters);
    }

    // Live files holding every free cluster but `leave` bytes' worth, allocated
    // without being written. The allocator hands out only so much at once (it
    // keeps the MFT zone back while it can), so the size of each part is found
    // by trial and further parts take what the first left.
    std::vector<std::string> Ballast(const std::string& path, std::uint64_t leave) {
        const std::uint64_t keep = (leave + clusterSize_ - 1) / clusterSize_;
        const std::uint64_t slack = std::max<std::uint64_t>(1, (64 << 10) / clusterSize_);
        std::vector<std::string> parts;
        for (int part = 0; part < 16; ++part) {
            const std::uint64_t free = FreeClusters();
            if (free <= keep + slack) break;
            const std::string name = part == 0 ? path : path + "." + std::to_string(part);
            ntfs_inode* ni = Create(name, S_IFREG);
            if (!ni) Fail("cannot create " + name);
            ntfs_attr* na = OpenData(ni, name);
            // Largest size that fits: lo always fits (the file holds it), hi never does.
            std::uint64_t lo = 0, hi = free - keep + 1;
            while (hi - lo > 1) {
                const std::uint64_t mid = lo + (hi - lo) / 2;
                errno = 0;
                if (ntfs_attr_truncate_solid(na, static_cast<s64>(mid * clusterSize_)) == 0) {
                    lo = mid;
                } else if (errno == ENOSPC) {
                    hi = mid;
                    if (ntfs_attr_truncate_solid(na, static_cast<s64>(lo * clusterSize_)) != 0) {
                        Fail("cannot shrink " + name);
                    }
                } else {
                    Fail("cannot allocate " + name);
                }
            }
            if (options_.verbose) {
                std::fprintf(stderr, "%s: %llu of %llu free clusters\n", name.c_str(),
                             static_cast<unsigned long long>(lo),
                             static_cast<unsigned long long>(free));
            }
            ntfs_attr_close(na);
            FileSpec f;
            f.path = name;
            f.kind = FileKind::Solid;
            f.size = lo * clusterSize_;
            Register(f, ni->mft_no);
            if (ntfs_inode_close(ni) != 0) Fail("cannot close " + name);
            parts.push_back(name);
            if (lo < slack) break;
        }
        if (parts.empty()) {
            errno = 0;
            Fail("no room for ballast " + path);
        }
        return parts;
    }

    // Shrinks a live file to nothing (its clusters go back to the free pool).
    void Release(const std::string& path) {
        Entry& e = entries_.at(byPath_.at(path));
        ntfs_inode* ni = ntfs_inode_open(vol_, e.record);
        if (!ni) Fail("cannot open " + path);
        ntfs_attr* na = OpenData(ni, path);
        errno = 0;
        if (ntfs_attr_truncate(na, 0) != 0) Fail("cannot truncate " + path);
        ntfs_attr_close(na);
        ntfs_inode_close(ni);
        e.spec.size = 0;
        e.spec.pieces.clear();
    }

    // Fills the volume so that only one-cluster holes stay free, then writes
    // the file in small chunks: each chunk lands in the next hole.
    void WriteFragmented(const FileSpec& f) {
        // A filler must be too big to live in its record: one cluster, or as many
        // as a record's size when clusters are smaller than records.
        const std::uint64_t recordBytes = vol_->mft_record_size;
        const std::uint64_t fillerClusters = (recordBytes + clusterSize_ - 1) / clusterSize_;
        const std::uint64_t fillerBytes = fillerClusters * clusterSize_;
        const std::uint64_t need = (f.size + fillerBytes - 1) / fillerBytes;
        const std::uint64_t holes = need + 8;
        const std::string dir = "/.fill" + std::to_string(++fillRounds_);
        MakeDir(dir);
        // Room for the fillers' records and index blocks, then two clusters per hole.
        const std::uint64_t metaBytes = 2 * holes * (recordBytes + 256) + (64 << 10);
        const std::uint64_t meta = (metaBytes + clusterSize_ - 1) / clusterSize_;
        const auto ballast =
            Ballast(dir + "/ballast", (2 * holes * fillerClusters + meta) * clusterSize_);
        std::vector<std::pair<LCN, std::uint64_t>> fillers;  // cluster, record
        for (std::uint64_t i = 0;; ++i) {
            const std::string path = dir + "/f" + std::to_string(i);
            ntfs_inode* ni = Create(path, S_IFREG);
            if (!ni) {
                if (errno == ENOSPC) break;
                Fail("cannot create " + path);
            }
            ntfs_attr* na = OpenData(ni, path);
            errno = 0;
            const bool full = ntfs_attr_truncate_solid(na, fillerBytes) != 0;
            const int e = errno;
            const LCN lcn = full ? -1 : ntfs_attr_vcn_to_lcn(na, 0);
            ntfs_attr_close(na);
            if (!full && lcn < 0) {
                errno = 0;
                Fail("filler " + path + " stayed resident");
            }
            if (lcn >= 0) fillers.emplace_back(lcn, ni->mft_no);
            ntfs_inode_close(ni);
            if (full) {
                if (e != ENOSPC) {
                    errno = e;
                    Fail("cannot allocate " + path);
                }
                break;
            }
        }
        if (options_.verbose) {
            std::fprintf(stderr, "%s: %zu fillers, %llu clusters left free\n", f.path.c_str(),
                         fillers.size(), static_cast<unsigned long long>(FreeClusters()));
        }
        // Every other filler in cluster order: the allocator does not hand out
        // clusters in the order the files were made.
        std::sort(fillers.begin(), fillers.end());
        std::uint64_t freed = 0;
        for (std::size_t i = 0; i < fillers.size(); i += 2) {
            ntfs_inode* ni = ntfs_inode_open(vol_, fillers[i].second);
            if (!ni) Fail("cannot open a filler");
            ntfs_attr* na = OpenData(ni, f.path);
            if (ntfs_attr_truncate(na, 0) != 0) Fail("cannot free a filler");
            ntfs_attr_close(na);
            ntfs_inode_close(ni);
            ++freed;
        }
        if (options_.verbose) ReportFreeRuns(f.path);
        if (freed < need) {
            errno = 0;
            Fail("not enough holes for " + f.path + "; give the volume more room");
        }
        ntfs_inode* ni = Create(f.path, S_IFREG);
        if (!ni) Fail("cannot create " + f.path);
        if (WantsCompression(f)) SetCompressed(ni, f.path);
        ntfs_attr* na = OpenData(ni, f.path);
        // A write larger than the biggest hole fails with ENOSPC in libntfs-3g
        // even when the holes together are big enough (512-byte clusters).
        const std::uint64_t chunk = std::min<std::uint64_t>(f.chunk, fillerBytes);
        if (f.reverse) {
            // Each write past the end leaves a hole before it that a later write
            // fills from the next free hole on the volume: clusters ascend while
            // the file's offsets descend, so every run starts before the last.
            for (std::uint64_t end = f.size; end > 0;) {
                const std::uint64_t at = end > chunk ? (end - 1) / chunk * chunk : 0;
                WriteRange(na, f, at, end - at, chunk);
                end = at;
            }
        } else {
            WriteRange(na, f, 0, f.size, chunk);
        }
        FinishData(ni, na, f);
        for (const std::string& part : ballast) Release(part);
    }

    // The free stretches of the cluster bitmap, by length (for -v).
    void ReportFreeRuns(const std::string& what) {
        std::vector<std::uint8_t> bitmap(static_cast<std::size_t>(vol_->lcnbmp_na->data_size));
        if (ntfs_attr_pread(vol_->lcnbmp_na, 0, static_cast<s64>(bitmap.size()), bitmap.data()) !=
            static_cast<s64>(bitmap.size())) {
            return;
        }
        std::map<std::uint64_t, std::uint64_t> byLength;
        std::uint64_t run = 0, start = 0;
        std::string firstLong;
        for (std::uint64_t lcn = 0; lcn <= static_cast<std::uint64_t>(vol_->nr_clusters); ++lcn) {
            const bool free = lcn < static_cast<std::uint64_t>(vol_->nr_clusters) &&
                              !(bitmap[lcn / 8] >> (lcn % 8) & 1);
            if (free) {
                if (run++ == 0) start = lcn;
            } else if (run) {
                ++byLength[run];
                if (run > 2 && firstLong.size() < 200) {
                    firstLong += " " + std::to_string(start) + "+" + std::to_string(run);
                }
                run = 0;
            }
        }
        std::fprintf(stderr, "%s: free stretches:", what.c_str());
        for (auto [len, n] : byLength)
            std::fprintf(stderr, " %llux%llu", (unsigned long long)n, (unsigned long long)len);
        std::fprintf(stderr, "\n  long ones at:%s\n", firstLong.c_str());
    }

    void MftFill(const MftFillSpec& s) {
        MakeDir(s.dir);
        std::uint32_t big = 0;
        for (std::uint32_t i = 1; i <= s.count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "/f%05u.txt", i);
            FileSpec f;
            f.path = s.dir + name;
            f.kind = FileKind::Text;
            f.size = s.smallSize;
            f.seed = SeedFor(d_.volume.seed, f.path);
            WriteFile(f);
            if (s.deleteEvery && i % s.deleteEvery == 0) fillDeletions_.push_back(f.path);
            if (s.bigEvery && i % s.bigEvery == 0) {
                std::snprintf(name, sizeof name, "/big%04u.bin", ++big);
                FileSpec b;
                b.path = s.dir + name;
                b.kind = FileKind::Random;
                b.size = s.bigSize;
                b.seed = SeedFor(d_.volume.seed, b.path);
                WriteFile(b);
            }
        }
    }

    void Delete(const std::string& path) {
        auto [parent, name] = SplitPath(path);
        std::uint64_t record;
        Entry* entry = nullptr;
        if (auto it = byPath_.find(path); it != byPath_.end()) {
            entry = &entries_[it->second];
            if (entry->deleted) return;
            record = entry->record;
        } else if (auto d = dirs_.find(path); d != dirs_.end() && path != "/") {
            record = d->second;
        } else {
            errno = 0;
            Fail("cannot delete " + path + ": not written");
        }
        std::vector<ntfschar> uname = ToUtf16(name);
        ntfs_inode* dir = OpenDir(parent);
        ntfs_inode* ni = ntfs_inode_open(vol_, record);
        if (!ni) {
            ntfs_inode_close(dir);
            Fail("cannot open " + path);
        }
        if (entry) KeepRuns(ni, path);
        errno = 0;
        // Closes both inodes, whatever the outcome.
        if (ntfs_delete(vol_, path.c_str(), ni, dir, uname.data(), static_cast<u8>(uname.size())) !=
            0) {
            Fail("cannot delete " + path);
        }
        if (entry) {
            for (Entry& e : entries_) {
                if (e.spec.path == path) e.deleted = true;
            }
        } else {
            deletedDirs_[path] = record;
            dirs_.erase(path);
        }
    }

    // The clusters of every $DATA of the file at `path` (its streams too), as
    // they were before it is deleted.
    void KeepRuns(ntfs_inode* ni, const std::string& path) {
        // libntfs-3g opens no data of a file flagged encrypted; the flag is
        // ours, the data plain, so it is lifted while the runs are read.
        const FILE_ATTR_FLAGS flags = ni->flags;
        ni->flags = static_cast<FILE_ATTR_FLAGS>(flags & ~FILE_ATTR_ENCRYPTED);
        for (Entry& e : entries_) {
            if (e.spec.path != path) continue;
            std::vector<ntfschar> uname;
            if (!e.spec.stream.empty()) uname = ToUtf16(e.spec.stream);
            ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, uname.empty() ? AT_UNNAMED : uname.data(),
                                           static_cast<u32>(uname.size()));
            if (!na) Fail("cannot open the data of " + path);
            if (NAttrNonResident(na)) {
                if (ntfs_attr_map_whole_runlist(na) != 0) Fail("cannot map the runs of " + path);
                for (const runlist_element* rl = na->rl; rl && rl->length; ++rl) {
                    if (rl->lcn >= 0) e.runs.push_back(ClusterRun{rl->lcn, rl->length});
                }
            }
            ntfs_attr_close(na);
        }
        ni->flags = flags;
    }

    std::vector<std::uint8_t> ClusterBitmap() {
        std::vector<std::uint8_t> bitmap(static_cast<std::size_t>(vol_->lcnbmp_na->data_size));
        if (ntfs_attr_pread(vol_->lcnbmp_na, 0, static_cast<s64>(bitmap.size()), bitmap.data()) !=
            static_cast<s64>(bitmap.size())) {
            Fail("cannot read the cluster bitmap");
        }
        return bitmap;
    }

    // A folder on the path whose record a later file took: the path is lost.
    bool Orphaned(const std::string& dir) const {
        for (std::string d = dir; d != "/"; d = SplitPath(d).first) {
            if (reusedDirs_.count(d)) return true;
        }
        return false;
    }

    static ManifestEntry Row(std::uint64_t record, bool deleted, const std::string& path) {
        ManifestEntry m;
        m.record = record;
        m.deleted = deleted;
        m.path = path;
        return m;
    }

    ManifestEntry FileRow(const Entry& e, const std::vector<std::uint8_t>& bitmap) const {
        ManifestEntry m = Row(e.record, e.deleted, e.spec.path);
        m.size = e.spec.size;
        m.md5 = ContentMd5(e.spec);
        m.stream = e.spec.stream;
        m.parent = e.parentDir;
        // libntfs-3g compresses the unnamed $DATA only.
        if (e.spec.stream.empty() && WantsCompression(e.spec)) m.flags.push_back("compressed");
        if (e.spec.encrypted) m.flags.push_back("encrypted");
        if (e.sparse) m.flags.push_back("sparse");
        if (e.attrList) m.flags.push_back("attrlist");
        if (e.deleted && Orphaned(e.parentDir)) m.flags.push_back("orphan");
        if (e.deleted) {
            for (const ClusterRun& r : e.runs) {
                m.clusters += static_cast<std::uint64_t>(r.length);
                for (std::int64_t c = r.lcn; c < r.lcn + r.length; ++c) {
                    const auto at = static_cast<std::size_t>(c / 8);
                    if (at < bitmap.size() && !(bitmap[at] >> (c % 8) & 1)) ++m.freeClusters;
                }
            }
        }
        return m;
    }

    ManifestEntry DirRow(const std::string& path, std::uint64_t record, bool deleted) const {
        ManifestEntry m = Row(record, deleted, path);
        m.md5 = "-";
        m.parent = SplitPath(path).first;
        m.flags.push_back("dir");
        if (compressedDirs_.count(path)) m.flags.push_back("compressed");
        if (deleted && Orphaned(m.parent)) m.flags.push_back("orphan");
        return m;
    }

    std::vector<ManifestEntry> Manifest(const std::vector<std::uint8_t>& bitmap) const {
        std::vector<ManifestEntry> out;
        for (const Entry& e : entries_) out.push_back(FileRow(e, bitmap));
        for (const auto& [path, record] : dirs_) {
            if (path != "/") out.push_back(DirRow(path, record, false));
        }
        for (const auto& [path, record] : deletedDirs_) out.push_back(DirRow(path, record, true));
        std::stable_sort(
            out.begin(), out.end(),
            [](const ManifestEntry& a, const ManifestEntry& b) { return a.record < b.record; });
        return out;
    }

    const Description& d_;
    std::string image_;
    WriterOptions options_;
    ntfs_volume* vol_ = nullptr;
    std::uint32_t clusterSize_ = 0;
    std::map<std::string, std::uint64_t> dirs_;
    std::vector<Entry> entries_;
    std::map<std::string, std::size_t> byPath_;
    std::vector<std::string> fillDeletions_;
    unsigned fillRounds_ = 0;
    std::map<std::string, std::uint64_t> deletedDirs_;
    std::set<std::string> reusedDirs_;  // deleted folders whose record a later file took
    std::set<std::string> compressedDirs_;
    std::vector<s64> heldClusters_;  // kept from the allocator while a file is written
};

}  // namespace

std::vector<ManifestEntry> BuildVolume(const Description& description, const std::string& imagePath,
                                       const WriterOptions& options) {
    Writer w(description, imagePath, options);
    return w.Run();
}

std::string ManifestText(const std::vector<ManifestEntry>& entries) {
    std::string out = std::string(tools::kManifestHeader) + "\n";
    for (const ManifestEntry& e : entries) out += tools::ManifestLine(e) + "\n";
    return out;
}

}  // namespace qm::mkvolume
