#include "fuzz/FuzzEntries.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ntfs/Lznt1.h"
#include "ntfs/uNTFS.h"
#include "platform/Platform.h"
#include "platform/RawVolume.h"
#include "platform/testing/FaultyVolume.h"
#include "recover/RecoverRecord.h"
#include "scan/ScanEngine.h"
#include "tests/support/Lznt1Writer.h"
#include "tests/support/RecordBuilder.h"

namespace qm::fuzz {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

[[noreturn]] __attribute__((format(printf, 1, 2))) void Broken(const char* format, ...) {
    std::fputs("broken promise: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    __builtin_trap();
}

#define QM_CHECK(cond)                                               \
    do {                                                             \
        if (!(cond)) Broken("%s:%d: %s", __FILE__, __LINE__, #cond); \
    } while (0)

std::uint64_t Le(const std::uint8_t* p, unsigned width) {
    std::uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i) v |= std::uint64_t{p[i]} << (8 * i);
    return v;
}

// FNV-1a: picks options for inputs that have no spare bytes to pick them with.
std::uint64_t Hash(const std::uint8_t* data, std::size_t size) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (std::size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 0x100000001b3ull;
    return h;
}

// No open fault is stepped around at the moment; a check that must wait for a
// fix reads Tolerant() and names the disabled test that shows the fault.
bool& Tolerant() {
    static bool on = [] {
        const char* strict = std::getenv("QM_FUZZ_STRICT");
        return !(strict && *strict && *strict != '0');
    }();
    return on;
}

bool Inside(ByteView part, const Bytes& whole) {
    const std::uint8_t* b = whole.data();
    return part.data() >= b && part.data() + part.size() <= b + whole.size();
}

// ---- Outputs -------------------------------------------------------------------

// Files kept in memory up to a byte budget per file; Write and WriteZeros fail
// past it, the way a full disk would. Only committed files are kept.
class BoundedMemoryOutput final : public OutputFactory {
public:
    explicit BoundedMemoryOutput(std::uint64_t perFile) : cap_(perFile) {}

    ErrorOr<std::unique_ptr<OutputFile>> Create(const std::string& path) override {
        ++open_;
        return std::unique_ptr<OutputFile>(std::make_unique<File>(*this, path));
    }
    const std::map<std::string, Bytes>& files() const { return files_; }
    int open() const { return open_; }

private:
    class File final : public OutputFile {
    public:
        File(BoundedMemoryOutput& owner, std::string path) : o_(owner), path_(std::move(path)) {}
        ~File() override {
            if (!committed_) --o_.open_;
        }
        bool Write(std::span<const std::uint8_t> b) override {
            if (committed_ || b.size() > o_.cap_ - bytes_.size()) return false;
            bytes_.insert(bytes_.end(), b.begin(), b.end());
            return true;
        }
        bool WriteZeros(std::uint64_t n) override {
            if (committed_ || n > o_.cap_ - bytes_.size()) return false;
            bytes_.resize(bytes_.size() + static_cast<std::size_t>(n), 0);
            return true;
        }
        bool Commit() override {
            if (committed_) return true;
            o_.files_[path_] = std::move(bytes_);
            --o_.open_;
            committed_ = true;
            return true;
        }

    private:
        BoundedMemoryOutput& o_;
        std::string path_;
        Bytes bytes_;
        bool committed_ = false;
    };

    std::uint64_t cap_;
    std::map<std::string, Bytes> files_;
    int open_ = 0;
};

// Real files, through the system's own output, with a budget of written and
// skipped bytes per file so that a data size of many terabytes stays a short run.
class BoundedRealOutput final : public OutputFactory {
public:
    explicit BoundedRealOutput(std::uint64_t perFile) : cap_(perFile) {}
    ErrorOr<std::unique_ptr<OutputFile>> Create(const std::string& path) override {
        auto inner = DefaultOutputFactory().Create(path);
        if (!inner) return inner.take_error();
        return std::unique_ptr<OutputFile>(std::make_unique<File>(std::move(inner).value(), cap_));
    }

private:
    class File final : public OutputFile {
    public:
        File(std::unique_ptr<OutputFile> inner, std::uint64_t cap)
            : inner_(std::move(inner)), left_(cap) {}
        bool Write(std::span<const std::uint8_t> b) override {
            return Take(b.size()) && inner_->Write(b);
        }
        bool WriteZeros(std::uint64_t n) override { return Take(n) && inner_->WriteZeros(n); }
        bool Commit() override { return inner_->Commit(); }

    private:
        bool Take(std::uint64_t n) {
            if (n > left_) return false;
            left_ -= n;
            return true;
        }
        std::unique_ptr<OutputFile> inner_;
        std::uint64_t left_;
    };
    std::uint64_t cap_;
};

// ---- Run lists: an independent reading of the format ---------------------------------

struct RefRun {
    std::uint64_t length;
    bool sparse;
    std::int64_t lcn;
};

// Header byte: low nibble the width of the length, high nibble the width of the
// offset. The first offset is a cluster number, later ones signed distances from
// the last run that had clusters; an offset of 0 is a hole. nullopt where the
// list cannot be followed (no end, a field over 8 bytes or past the end, a
// cluster number below 0 or beyond 2^63).
std::optional<std::vector<RefRun>> ReferenceDecode(const Bytes& list) {
    std::vector<RefRun> runs;
    __int128 lcn = 0;
    for (std::size_t p = 0;;) {
        if (p >= list.size()) return std::nullopt;
        const unsigned h = list[p];
        if (h == 0) return runs;
        const unsigned lw = h & 15, ow = h >> 4;
        if (lw > 8 || ow > 8 || p + 1 + lw + ow > list.size()) return std::nullopt;
        const std::uint64_t length = Le(&list[p + 1], lw);
        const std::uint64_t raw = Le(&list[p + 1 + lw], ow);
        if (raw == 0) {
            runs.push_back({length, true, 0});
        } else {
            __int128 v = raw;
            if (!runs.empty() && (raw >> (8 * ow - 1)) & 1)
                v -= static_cast<__int128>(1) << (8 * ow);
            lcn = runs.empty() ? v : lcn + v;
            if (lcn < 0 || lcn > INT64_MAX) return std::nullopt;
            runs.push_back({length, false, static_cast<std::int64_t>(lcn)});
        }
        p += 1 + lw + ow;
    }
}

// The content the runs describe, cut or filled to `size` bytes.
Bytes ReferenceContent(const std::vector<RefRun>& runs, std::uint64_t cs, const Bytes& volume,
                       std::uint64_t size) {
    Bytes out;
    out.reserve(static_cast<std::size_t>(size));
    for (const RefRun& r : runs) {
        if (out.size() >= size) break;
        const unsigned __int128 bytes = static_cast<unsigned __int128>(r.length) * cs;
        const std::size_t take =
            static_cast<std::size_t>(std::min<unsigned __int128>(bytes, size - out.size()));
        const unsigned __int128 start = static_cast<unsigned __int128>(r.lcn) * cs;
        std::size_t copied = 0;
        if (!r.sparse && start < volume.size()) {
            const std::size_t from = static_cast<std::size_t>(start);
            copied = std::min(take, volume.size() - from);
            out.insert(out.end(), volume.begin() + static_cast<std::ptrdiff_t>(from),
                       volume.begin() + static_cast<std::ptrdiff_t>(from + copied));
        }
        out.resize(out.size() + (take - copied), 0);  // holes, and clusters past the end
    }
    out.resize(static_cast<std::size_t>(size), 0);
    return out;
}

// ---- Scan helpers ----------------------------------------------------------------

struct Collect final : ScanObserver {
    std::vector<ScanRow> rows;
    int labels = 0;
    bool geometry = false;
    std::int64_t walkStart = -1;
    void OnLabel(DriveLabel, const std::string&) override { ++labels; }
    void OnGeometry(const VolumeGeometry&) override { geometry = true; }
    void OnWalkStart(std::int64_t n) override { walkStart = n; }
    void OnRow(ScanRow&& row) override { rows.push_back(std::move(row)); }
};

void CheckLayout(const VolumeInfo& info, const RawVolume& volume) {
    const VolumeGeometry& g = info.geometry;
    QM_CHECK(CheckGeometry(g).ok());
    QM_CHECK(info.MftRecordCount >= 0);
    const std::uint64_t rs = g.RecordSize;
    const std::uint64_t count = static_cast<std::uint64_t>(info.MftRecordCount);
    // The walk stays within the clusters the MFT's runs describe, and within
    // what a volume of this size could hold, however large the runs claim to be.
    QM_CHECK(count <= volume.Size() / rs);
    // Every mapped cluster lies on the volume, the last one perhaps in part.
    for (const MftMap::Extent& e : info.map.extents()) {
        if (!e.sparse)
            QM_CHECK(e.lcn + e.length <= (volume.Size() + g.ClusterSize - 1) / g.ClusterSize);
    }
}

}  // namespace

void TolerateOpenFaults(bool on) {
    Tolerant() = on;
}

// ---- fuzz_record ---------------------------------------------------------------

void FuzzRecord(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return;
    size = std::min(size, kMaxInput);
    static constexpr std::uint32_t kStrides[8] = {512, 1024, 4096, 256, 2, 0, 1, 0};
    std::uint32_t stride = kStrides[data[0] & 7];
    if ((data[0] & 7) == 7) stride = (data[0] >> 3) * 62u + 2;  // an odd stride now and then

    Bytes record(data + 1, data + size);  // exactly sized: a read past it is an ASan report
    const Bytes before = record;
    const bool fixed = ApplyFixups(std::span<std::uint8_t>(record), stride);
    if (!HasFileSignature(ByteView(before))) QM_CHECK(!fixed && record == before);
    if (fixed) QM_CHECK(record.size() >= kRecHeaderMin);

    // The lookups the scan and the recovery make, and the attribute list the set-up reads.
    const ByteView view(record.data(), record.size());
    struct Lookup {
        std::uint32_t type;
        bool rule;
    };
    static constexpr Lookup kLookups[] = {
        {kAttrData, false},     {kAttrStandardInformation, false}, {kAttrFileName, true},
        {kAttrFileName, false}, {kAttrAttributeList, false},       {kAttrVolumeName, false}};
    std::optional<ByteView> found[std::size(kLookups)];
    for (std::size_t i = 0; i < std::size(kLookups); ++i) {
        const auto [type, rule] = kLookups[i];
        found[i] = FindAttributeView(view, type, rule);
        const TDynamicCharArray copy = FindAttribute(record, type, rule);
        if (!found[i]) {
            QM_CHECK(copy.empty());
            continue;
        }
        const ByteView a = *found[i];
        QM_CHECK(Inside(a, record));
        QM_CHECK(a.U32(0) == type);
        if (rule) {
            const auto ns = a.U8(89);
            QM_CHECK(ns && (*ns == 0 || *ns == 1 || *ns == 3));
        }
        QM_CHECK(copy.size() == a.size() && std::equal(copy.begin(), copy.end(), a.data()));
    }
    // With the rule off, the first $FILE_NAME comes no later than the first one the rule accepts.
    if (found[2]) QM_CHECK(found[3] && found[3]->data() <= found[2]->data());

    std::size_t walked = 0;
    const std::uint8_t* last = nullptr;
    ForEachAttribute(view, [&](ByteView a) {
        QM_CHECK(Inside(a, record) && a.size() >= 8);
        QM_CHECK(a.data() > last);  // the walk only goes forward
        last = a.data();
        return ++walked < 100000;
    });

    // Only a record with flags 0 and all three attributes makes a row.
    auto row = RowFromRecord(view);
    const bool expectRow = RecordFlags(view) == 0 && found[0] && found[1] && found[2];
    QM_CHECK(row.has_value() == expectRow);
    if (row) QM_CHECK(row->name.size() <= 255);
}

// ---- fuzz_runlist --------------------------------------------------------------

void FuzzRunList(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kHeader = 12;
    constexpr std::size_t kMaxList = 3000;  // what fits into the 4 KiB record below
    if (size < kHeader) return;
    static constexpr std::uint32_t kClusterSizes[8] = {4096, 512, 1024, 65536, 1u << 21, 1, 0, 3};
    const std::uint32_t cs = kClusterSizes[data[0] & 7];
    const std::uint8_t damage = data[1] & 0x0F;  // which header fields get damaged
    std::uint64_t dataSize = Le(data + 2, 8);
    if (!(data[1] & 0x80)) dataSize &= 0x3FFFF;  // mostly small enough to compare the content
    const std::uint64_t patch = Le(data + 10, 2);
    const Bytes list(data + kHeader, data + kHeader + std::min(size - kHeader, kMaxList));

    auto decoded = DecodeRunList(ByteView(list.data(), list.size()));
    auto reference = ReferenceDecode(list);
    if (decoded) {
        QM_CHECK(reference && reference->size() == decoded->size());
        for (std::size_t i = 0; i < decoded->size(); ++i) {
            const DataRun& d = (*decoded)[i];
            const RefRun& r = (*reference)[i];
            QM_CHECK(d.length == r.length && d.sparse == r.sparse);
            if (!d.sparse) QM_CHECK(d.lcn == static_cast<std::uint64_t>(r.lcn));
        }
    } else {
        QM_CHECK(!reference);
    }

    // The volume: one 4 KiB record at byte 0, then a pattern that tells every byte apart.
    constexpr std::uint32_t kRecordSize = 4096;
    Bytes image(64 * 1024);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i * 31 + (i >> 8));
    test::RecordBuilder b(kRecordSize, 512);
    b.StandardInformation(1, 2).FileName(u"f").NonResidentData(list, dataSize, dataSize, 0, 0);
    if (damage & 1) b.PatchAttributeLe(kNrRunListOffset, patch, 2);
    if (damage & 2) b.PatchAttributeLe(4, patch, 4);  // the attribute's length
    if (damage & 4) b.PatchAttributeLe(kAttrNonResident, patch & 0xFF, 1);
    if (damage & 8) b.PatchAttributeLe(kResValueLength, patch * 0x10001u, 4);
    const Bytes rec = b.Build();
    std::copy(rec.begin(), rec.end(), image.begin());
    const Bytes original = image;

    MemoryVolume volume(image);
    const VolumeGeometry g{kRecordSize, cs, 512, cs / 512};
    constexpr std::uint64_t kCap = 2u << 20;
    BoundedMemoryOutput out(kCap);
    const RecoverResult r = RecoverRecord(volume, PositionText(0), g, "out", out);

    // The record pads the list with zeros to a multiple of 8, and those bytes
    // are part of the list as the recovery reads it.
    Bytes padded = list;
    padded.resize((list.size() + 7) & ~std::size_t{7}, 0);
    reference = ReferenceDecode(padded);

    QM_CHECK(volume.bytes() == original);
    QM_CHECK(out.open() == 0);
    QM_CHECK(r.status != RecoverStatus::BadPosition && r.status != RecoverStatus::OpenFailed &&
             r.status != RecoverStatus::BadRecord && r.status != RecoverStatus::InUse &&
             r.status != RecoverStatus::Cancelled);
    if (!(damage & 2)) QM_CHECK(r.status != RecoverStatus::NoData);
    const bool written = r.status == RecoverStatus::Written || r.status == RecoverStatus::Damaged;
    QM_CHECK(out.files().size() == (written ? 1u : 0u));
    if (written) {
        const Bytes& file = out.files().begin()->second;
        QM_CHECK(file.size() == r.bytes);
        QM_CHECK((r.status == RecoverStatus::Damaged) == !r.unreadable.empty());
        for (std::size_t i = 0; i < r.unreadable.size(); ++i) {
            const ByteRange& u = r.unreadable[i];
            QM_CHECK(u.length > 0 && (i == 0 || u.offset > r.unreadable[i - 1].offset +
                                                               r.unreadable[i - 1].length));
        }
    }
    if (damage != 0 || !reference || dataSize >= (std::uint64_t{1} << 62)) return;

    // A sound list inside 64-bit arithmetic is recovered, damaged where the
    // volume holds none of its bytes, or stops at the output's budget.
    bool overflows = false;
    unsigned __int128 total = 0;     // bytes the runs map, holes included
    unsigned __int128 clusters = 0;  // and clusters: past 64 bits the list is malformed too
    // Bytes of the volume the runs claim within the data size; past its end they count nothing.
    unsigned __int128 claimed = 0;
    for (const RefRun& run : *reference) {
        const unsigned __int128 bytes = static_cast<unsigned __int128>(run.length) * cs;
        const unsigned __int128 start = static_cast<unsigned __int128>(run.lcn) * cs;
        if (!run.sparse && total < dataSize && start < image.size()) {
            const unsigned __int128 take = std::min<unsigned __int128>(bytes, dataSize - total);
            claimed += std::min<unsigned __int128>(take, image.size() - start);
        }
        total += bytes;
        clusters += run.length;
        if (bytes > UINT64_MAX || total > UINT64_MAX || (!run.sparse && start + bytes > UINT64_MAX))
            overflows = true;
        if (clusters > UINT64_MAX ||
            (!run.sparse && static_cast<unsigned __int128>(run.lcn) + run.length > UINT64_MAX))
            overflows = true;
    }
    if (overflows) return;
    if (claimed > image.size()) {
        QM_CHECK(r.status == RecoverStatus::Malformed);
        return;
    }
    // A data size past the volume's is believed as far as the runs map it.
    const std::uint64_t length =
        dataSize > image.size() && total < dataSize ? static_cast<std::uint64_t>(total) : dataSize;
    if (length > kCap) {
        QM_CHECK(r.status == RecoverStatus::OutputFailed);
        return;
    }
    // Lost: clusters past the volume's end, and bytes no run maps.
    bool lost = total < dataSize;
    unsigned __int128 at = 0;
    for (const RefRun& run : *reference) {
        const unsigned __int128 bytes = static_cast<unsigned __int128>(run.length) * cs;
        const unsigned __int128 start = static_cast<unsigned __int128>(run.lcn) * cs;
        if (!run.sparse && at < length && bytes > 0 &&
            start + std::min<unsigned __int128>(bytes, length - at) > image.size())
            lost = true;
        at += bytes;
    }
    QM_CHECK(r.status == (lost ? RecoverStatus::Damaged : RecoverStatus::Written));
    QM_CHECK(r.bytes == length);
    QM_CHECK(out.files().begin()->second == ReferenceContent(*reference, cs, original, length));
}

// ---- fuzz_boot -----------------------------------------------------------------

void FuzzBoot(const std::uint8_t* data, std::size_t size) {
    size = std::min(size, kMaxInput);
    const Bytes original(data, data + size);
    MemoryVolume volume(original);
    Collect seen;
    const SetupResult r = SetupVolume(volume, &seen);
    QM_CHECK(volume.bytes() == original);
    if (r.stop != SetupStop::None) {
        QM_CHECK(!r.info);
        return;
    }
    QM_CHECK(r.info && seen.labels == 6 && seen.geometry);
    const VolumeInfo& info = *r.info;
    CheckLayout(info, volume);
    // The first records, read the way the walk reads them.
    Bytes rec(info.geometry.RecordSize);
    const std::uint64_t n =
        std::min<std::uint64_t>(static_cast<std::uint64_t>(info.MftRecordCount), 64);
    for (std::uint64_t i = 0; i < n; ++i) {
        if (ReadMftRecord(volume, info, i, rec) == RecordRead::Ok)
            (void)RowFromRecord(ByteView(rec.data(), rec.size()));
    }
    QM_CHECK(volume.bytes() == original);
}

// ---- fuzz_image ----------------------------------------------------------------

void FuzzImage(const std::uint8_t* data, std::size_t size) {
    size = std::min(size, kMaxInput);
    static const bool localeSet = std::setlocale(LC_ALL, "C.UTF-8") != nullptr;
    (void)localeSet;
    const Bytes original(data, data + size);
    const std::uint64_t h = Hash(data, size);

    auto memory = std::make_shared<MemoryVolume>(original);
    // One input in four is read from a disk with two bad spots in its first
    // 64 KiB: one where reads fail, one where they stop short.
    testing::FaultyVolume faulty(memory);
    const bool badDisk = (h >> 12) % 4 == 0;
    if (badDisk) {
        const std::uint64_t a = (h >> 16) % 65536, b = (h >> 32) % 65536;
        faulty.FailRange(a, a + 1 + (h >> 48) % 1024).ShortRange(b, b + 1);
    }
    RawVolume& volume = badDisk ? static_cast<RawVolume&>(faulty) : *memory;

    Collect seen;
    std::atomic<bool> stop{false};
    ScanOptions options;
    static constexpr std::uint32_t kChunks[4] = {64u << 10, 0, 3000, 4u << 20};
    options.chunkBytes = kChunks[h & 3];
    options.progressEvery = 7;
    const ScanSummary s = RunScan(volume, seen, stop, options);
    QM_CHECK(memory->bytes() == original);
    if (!s.setup.info) {
        QM_CHECK(seen.rows.empty() && seen.walkStart == -1);
        return;
    }
    // Reading the MFT in chunks and reading it a record at a time find the
    // same rows and the same unreadable records.
    {
        Collect again;
        ScanOptions single = options;
        single.chunkBytes = options.chunkBytes == 0 ? 8192 : 0;
        const ScanSummary t = RunScan(volume, again, stop, single);
        QM_CHECK(t.setup.info && t.unreadable == s.unreadable &&
                 again.rows.size() == seen.rows.size());
        for (std::size_t i = 0; i < seen.rows.size(); ++i) {
            const ScanRow &x = seen.rows[i], &y = again.rows[i];
            QM_CHECK(x.record == y.record && x.position == y.position && x.name == y.name &&
                     x.size == y.size && x.created == y.created && x.modified == y.modified);
        }
    }
    const VolumeInfo& info = *s.setup.info;
    CheckLayout(info, volume);
    const std::int64_t count = info.MftRecordCount;
    QM_CHECK(seen.walkStart == count);
    QM_CHECK(!s.stopped && s.recordsWalked == std::max<std::int64_t>(count - 16, 0));
    QM_CHECK(s.unreadable >= 0 && s.unreadable <= s.recordsWalked);
    QM_CHECK(s.rows == static_cast<std::int64_t>(seen.rows.size()));
    QM_CHECK(s.rows <= s.recordsWalked - s.unreadable);
    for (std::size_t i = 0; i < seen.rows.size(); ++i) {
        const ScanRow& row = seen.rows[i];
        QM_CHECK(row.record >= 16 && static_cast<std::int64_t>(row.record) < count);
        if (i > 0) QM_CHECK(row.record > seen.rows[i - 1].record);
        QM_CHECK(info.map.VolumeOffset(row.record * info.geometry.RecordSize) == row.position);
    }

    // Recover every row (the first 64), as the window would with all rows ticked.
    constexpr std::size_t kMaxRows = 64;
    constexpr std::uint64_t kCap = 1u << 20;
    const bool realFolder = (h >> 8) % 16 == 0;
    std::optional<fs::path> root;
    if (realFolder) {
        // A fresh folder of our own (mkdtemp is not everywhere).
        static std::atomic<unsigned> serial{0};
        std::error_code ec;
        for (int attempt = 0; attempt < 16 && !root; ++attempt) {
            const fs::path dir =
                fs::temp_directory_path(ec) /
                ("qm-fuzz-" + std::to_string(::getpid()) + "-" +
                 std::to_string(serial.fetch_add(1)) + "-" + std::to_string(h & 0xFFFF));
            if (fs::create_directory(dir, ec) && fs::create_directory(dir / "out", ec)) root = dir;
        }
    }
    BoundedMemoryOutput inMemory(kCap);
    BoundedRealOutput real(kCap);
    OutputFactory& out = root ? static_cast<OutputFactory&>(real) : inMemory;
    std::set<std::string> written;
    const std::size_t rows = std::min(seen.rows.size(), kMaxRows);
    for (std::size_t i = 0; i < rows; ++i) {
        const ScanRow& row = seen.rows[i];
        const std::string name8 = Utf16ToAnsi(row.name);
        // The type column: empty, or a tail of the name from a point on (with
        // half the inputs read as if in a double-byte code page).
        auto gbkLead = [](unsigned char c) { return c >= 0x81 && c <= 0xFE; };
        const std::string type = (h >> 20) & 1 ? ExtensionOf(name8, +gbkLead) : ExtensionOf(name8);
        QM_CHECK(type.empty() ||
                 (type[0] == '.' && name8.size() >= type.size() &&
                  name8.compare(name8.size() - type.size(), type.size(), type) == 0));
        const std::string path = root ? OutputPathByName((*root / "out").string(), name8)
                                      : OutputPathByNumber("out", i + 1);
        const RecoverResult r = RecoverRecord(volume, PositionText(row.position), info.geometry,
                                              path, out, nullptr, &info.map);
        // The scan found a sound, deleted record with a $DATA at this position.
        if (r.status == RecoverStatus::BadRecord || r.status == RecoverStatus::InUse ||
            r.status == RecoverStatus::NoData)
            Broken("row for record %llu at 0x%llx cannot be recovered: %s",
                   static_cast<unsigned long long>(row.record),
                   static_cast<unsigned long long>(row.position), RecoverStatusText(r.status));
        QM_CHECK(r.status != RecoverStatus::BadPosition && r.status != RecoverStatus::OpenFailed);
        if (r.status == RecoverStatus::Written || r.status == RecoverStatus::Damaged) {
            written.insert(path);
            if (!root) QM_CHECK(inMemory.files().at(path).size() == r.bytes);
        } else if (!written.count(path)) {
            if (root)
                QM_CHECK(!fs::path(path).has_filename() || !fs::exists(path));
            else
                QM_CHECK(!inMemory.files().count(path));
        }
    }
    QM_CHECK(memory->bytes() == original);
    QM_CHECK(inMemory.open() == 0);
    if (root) {
        // Nothing left the output folder, and no temporary file stayed behind.
        std::error_code ec;
        std::size_t entries = 0;
        for (const auto& e : fs::directory_iterator(*root)) {
            ++entries;
            QM_CHECK(e.path().filename() == "out");
        }
        QM_CHECK(entries == 1);
        std::size_t files = 0;
        for (const auto& e : fs::directory_iterator(*root / "out")) {
            ++files;
            QM_CHECK(e.is_regular_file() && !e.is_symlink());
            QM_CHECK(written.count(e.path().string()));
        }
        QM_CHECK(files == written.size());
        fs::remove_all(*root, ec);
    }
}

}  // namespace qm::fuzz

// ---- LZNT1 -----------------------------------------------------------------------

namespace qm::fuzz {
namespace {

constexpr std::size_t kGuard = 64;
constexpr std::uint8_t kGuardByte = 0xA5;

// Decodes into an output of `capacity` bytes followed by guard bytes, checks
// that the guard stayed and that the count is inside the output.
ErrorOr<std::size_t> DecodeGuarded(std::span<const std::uint8_t> in, std::size_t capacity,
                                   Bytes& out) {
    out.assign(capacity + kGuard, kGuardByte);
    auto n = DecompressLznt1(in, std::span(out).first(capacity));
    for (std::size_t i = capacity; i < out.size(); ++i) QM_CHECK(out[i] == kGuardByte);
    if (n) QM_CHECK(*n <= capacity);
    out.resize(capacity);
    return n;
}

// Any bytes: never a write past the output, and a result that does not depend
// on the room left after it (exactly the room needed is enough, one byte less
// is not).
void FuzzLznt1Bytes(std::span<const std::uint8_t> in, std::size_t capacity) {
    Bytes out;
    auto n = DecodeGuarded(in, capacity, out);
    if (!n) {
        QM_CHECK(n.error().position.has_value() && *n.error().position <= in.size());
        return;
    }
    out.resize(*n);
    Bytes exact;
    auto again = DecodeGuarded(in, *n, exact);
    QM_CHECK(again.ok() && *again == *n && exact == out);
    if (*n > 0) {
        Bytes less;
        auto cut = DecodeGuarded(in, *n - 1, less);
        QM_CHECK(!cut.ok() && cut.error().code == ErrorCode::OutOfRange);
    }
}

// The input as content: compressed by the test writers, it decodes back to itself.
void FuzzLznt1RoundTrip(std::span<const std::uint8_t> data, std::size_t window) {
    for (const Bytes& packed :
         {test::CompressLznt1Literals(data), test::CompressLznt1(data, window)}) {
        Bytes out;
        auto n = DecodeGuarded(packed, data.size(), out);
        if (!n) Broken("round trip failed: %s", n.error().ToString().c_str());
        QM_CHECK(*n == data.size());
        QM_CHECK(std::equal(out.begin(), out.end(), data.begin()));
    }
}

}  // namespace

void FuzzLznt1(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return;
    size = std::min(size, kMaxInput);
    const std::span<const std::uint8_t> rest(data + 2, size - 2);
    // Byte 0: the mode; byte 1: the output's size in 256-byte steps (0: 64 KiB).
    const std::size_t capacity = data[1] == 0 ? 65536 : std::size_t{data[1]} * 256;
    if (data[0] & 1) {
        // Two chunks and a piece are enough to cross every boundary.
        FuzzLznt1RoundTrip(rest.first(std::min(rest.size(), std::size_t{2 * 4096 + 100})),
                           std::size_t{data[1]} % 64 + 1);
    } else {
        FuzzLznt1Bytes(rest, capacity);
    }
}

}  // namespace qm::fuzz
