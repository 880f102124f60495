// The deleted-file walk: reads the MFT in large chunks along its runs and turns
// every deleted file's record into a row.
#include "scan/ScanEngine.h"

#include <algorithm>
#include <memory>

#include "platform/AlignedBuffer.h"

namespace qm {
namespace {

// $STANDARD_INFORMATION times, at fixed offsets of the attribute.
constexpr std::size_t kSiCreated = 24;
constexpr std::size_t kSiModified = 32;
constexpr std::size_t kSiMftChanged = 40;
constexpr std::size_t kSiAccessed = 48;
// $FILE_NAME times (created, modified, MFT changed, accessed), after the parent reference.
constexpr std::size_t kFnCreated = 32;
constexpr std::size_t kFnModified = 40;
constexpr std::size_t kFnMftChanged = 48;
constexpr std::size_t kFnAccessed = 56;
// $FILE_NAME name length (UTF-16 units) and name, at fixed offsets of the attribute.
constexpr std::size_t kFnNameLength = 88;
constexpr std::size_t kFnName = 90;
// The first record the walk examines: 0 to 15 are the file system's own.
constexpr std::int64_t kFirstUserRecord = 16;

// The size field of a $DATA attribute: (k + 1) x 4 bytes at 16 + 32k, k being
// the non-resident byte; the bytes inside the attribute, low 64 bits.
std::uint64_t DataSize(ByteView data) {
    const std::uint64_t k = data.U8(kAttrNonResident).value_or(0);
    const std::uint64_t start = 16 + 32 * k;
    const std::uint64_t width = std::min<std::uint64_t>((k + 1) * 4, 8);
    if (width == 4) {
        if (auto v = data.U32(start)) return *v;
    } else if (auto v = data.U64(start)) {
        return *v;
    }
    std::uint64_t v = 0;
    for (std::uint64_t j = 0; j < width; ++j)
        v |= std::uint64_t{data.U8(start + j).value_or(0)} << (8 * j);
    return v;
}

// A stretch of the chunk whose bytes are not trustworthy.
struct BadRange {
    std::uint64_t begin, end;
    bool mapped;  // mapped but read short: worth a second, record-sized read
};

// Fills `row` from a fixed-up record: false unless its flags are 0 and it
// carries $STANDARD_INFORMATION, $FILE_NAME (file-name rule on) and $DATA.
// The name is assigned in place, so a row object used again keeps its capacity.
bool FillRow(ByteView record, ScanRow& row) {
    auto flags = RecordFlags(record);
    if (!flags || *flags != 0) return false;
    const FileAttributes a = FindFileAttributes(record);
    if (!a.standardInformation || !a.fileName || !a.data) return false;

    row.created = a.standardInformation->U64(kSiCreated).value_or(0);
    row.modified = a.standardInformation->U64(kSiModified).value_or(0);
    row.mftChanged = a.standardInformation->U64(kSiMftChanged).value_or(0);
    row.accessed = a.standardInformation->U64(kSiAccessed).value_or(0);
    const ByteView fn = *a.fileName;
    row.fnCreated = fn.U64(kFnCreated).value_or(0);
    row.fnModified = fn.U64(kFnModified).value_or(0);
    row.fnMftChanged = fn.U64(kFnMftChanged).value_or(0);
    row.fnAccessed = fn.U64(kFnAccessed).value_or(0);
    // Only whole code units inside the attribute.
    const std::uint64_t units = fn.U8(kFnNameLength).value_or(0);
    const std::uint64_t room = fn.size() > kFnName ? (fn.size() - kFnName) / 2 : 0;
    const std::size_t n = static_cast<std::size_t>(std::min(units, room));
    row.name.resize(n);
    const std::uint8_t* p = fn.data() + kFnName;
    for (std::size_t i = 0; i < n; ++i)
        row.name[i] = static_cast<char16_t>(p[2 * i] | (p[2 * i + 1] << 8));
    row.size = DataSize(*a.data);
    return true;
}

}  // namespace

std::string PositionText(std::uint64_t position) {
    return "0x" + HexText(position, 2);
}

std::string ExtensionOf(const std::string& name8, bool (*dbcsLeadByte)(unsigned char)) {
    if (!dbcsLeadByte) {
        // Every byte is a character: the last of ". / \ :" decides.
        for (std::size_t i = name8.size(); i-- > 0;) {
            const char c = name8[i];
            if (c == '.') return name8.substr(i);
            if (c == '/' || c == '\\' || c == ':') break;
        }
        return std::string();
    }
    std::size_t dot = std::string::npos;
    for (std::size_t i = 0; i < name8.size(); ++i) {
        const auto c = static_cast<unsigned char>(name8[i]);
        if (dbcsLeadByte && dbcsLeadByte(c) && i + 1 < name8.size()) {
            ++i;  // the trail byte of a double-byte character is never one of ". / \ :"
            continue;
        }
        if (c == '.')
            dot = i;
        else if (c == '/' || c == '\\' || c == ':')
            dot = std::string::npos;
    }
    return dot == std::string::npos ? std::string() : name8.substr(dot);
}

std::optional<ScanRow> RowFromRecord(ByteView record) {
    ScanRow row;
    if (!FillRow(record, row)) return std::nullopt;
    return row;
}

ScanSummary RunScan(RawVolume& volume, ScanObserver& observer,
                    const std::atomic<bool>& stopRequested, const ScanOptions& options) {
    ScanSummary summary;
    summary.setup = SetupVolume(volume, &observer);
    if (!summary.setup.info) return summary;
    const VolumeInfo& info = *summary.setup.info;
    const std::uint64_t rs = info.geometry.RecordSize;
    const std::int64_t count = info.MftRecordCount;

    observer.OnWalkStart(count);
    const std::uint64_t every = std::max<std::uint32_t>(options.progressEvery, 1);
    const std::uint64_t toWalk =
        count > kFirstUserRecord ? static_cast<std::uint64_t>(count - kFirstUserRecord) : 0;
    // Records per chunk: at least one, and no more than the walk needs.
    const std::uint64_t perChunk =
        options.chunkBytes == 0 ? 1
                                : std::clamp<std::uint64_t>(options.chunkBytes / rs, 1,
                                                            std::max<std::uint64_t>(toWalk, 1));
    // Left uninitialised: every byte is read into or zero-filled before use.
    // Page-aligned: the kernel copies into unaligned memory several times slower.
    AlignedBuffer chunk(static_cast<std::size_t>(perChunk * rs));
    AlignedBuffer single(static_cast<std::size_t>(rs));
    std::vector<BadRange> bad;
    ScanRow row;  // reused: its name keeps its capacity when the observer does not take it
    // The flags word (bytes 22 and 23) lies before the first protected sector
    // end whenever the stride is 32 bytes or more, so it can be read before the
    // fixups: records in use are passed over without them.
    const bool flagsBeforeFixups = info.geometry.BytesPerSector >= 32;

    std::int64_t i = kFirstUserRecord;
    while (i < count) {
        const std::uint64_t first = static_cast<std::uint64_t>(i);
        const std::uint64_t n = std::min<std::uint64_t>(perChunk, count - i);
        const std::uint64_t base = first * rs;  // first < count <= mapped bytes / rs: no overflow

        // Read the chunk along the MFT's runs, noting what did not arrive.
        bad.clear();
        const std::vector<MftMap::Piece> pieces = info.map.Map(base, n * rs);
        std::uint64_t at = 0;
        for (const MftMap::Piece& p : pieces) {
            std::span<std::uint8_t> dst(chunk.data() + at, static_cast<std::size_t>(p.length));
            if (p.mapped) {
                std::size_t got = volume.ReadAt(p.offset, dst);
                if (got < dst.size()) bad.push_back({at + got, at + p.length, true});
            } else {
                std::fill(dst.begin(), dst.end(), std::uint8_t{0});
                bad.push_back({at, at + p.length, false});
            }
            at += p.length;
        }

        // The piece holding the current record's first byte, and where it starts in the chunk.
        std::size_t piece = 0;
        std::uint64_t pieceStart = 0;
        for (std::uint64_t k = 0; k < n; ++k, ++i) {
            if (stopRequested.load(std::memory_order_relaxed)) {
                summary.stopped = true;
                break;
            }
            const std::uint64_t index = first + k;
            const std::uint64_t lo = k * rs, hi = lo + rs;
            while (pieceStart + pieces[piece].length <= lo) pieceStart += pieces[piece++].length;
            const BadRange* hit = nullptr;
            for (const BadRange& b : bad)
                if (b.begin < hi && lo < b.end) {
                    hit = &b;
                    if (!b.mapped) break;
                }
            std::span<std::uint8_t> rec(chunk.data() + lo, static_cast<std::size_t>(rs));
            bool ok;
            if (!hit) {
                ok = !(flagsBeforeFixups && (rec[kRecFlags] | rec[kRecFlags + 1]) != 0) &&
                     ApplyFixups(rec, info.geometry.BytesPerSector);
            } else if (hit->mapped) {
                // A short chunk read: this record alone may still be readable.
                RecordRead rr = ReadMftRecord(volume, info, index, single.span());
                if (rr == RecordRead::Unreadable) ++summary.unreadable;
                ok = rr == RecordRead::Ok;
                rec = single.span();
            } else {
                ++summary.unreadable;
                ok = false;
            }
            if (ok && FillRow(ByteView(rec.data(), rec.size()), row)) {
                const MftMap::Piece& p = pieces[piece];
                row.record = index;
                row.position = p.mapped ? p.offset + (lo - pieceStart) : 0;
                ++summary.rows;
                observer.OnRow(std::move(row));
            }
            ++summary.recordsWalked;
            if (summary.recordsWalked % every == 0) observer.OnProgress(summary.recordsWalked);
        }
        if (summary.stopped) break;
    }
    observer.OnProgress(summary.recordsWalked);
    return summary;
}

}  // namespace qm
