// The deleted-file walk: reads the MFT in large chunks along its runs and turns
// every deleted file's record into a row.
#include "scan/ScanEngine.h"

#include <algorithm>
#include <memory>

#include "platform/AlignedBuffer.h"
#include "platform/SerialisedVolume.h"
#include "scan/Bitmap.h"
#include "scan/ChunkReader.h"
#include "scan/RecordParts.h"

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
// The name length (UTF-16 units) of an attribute header.
constexpr std::size_t kAttrNameUnits = 9;
// The namespace byte of a resident $FILE_NAME.
constexpr std::size_t kFnNamespace = 89;
// The first record the walk examines: 0 to 15 are the file system's own.
constexpr std::int64_t kFirstUserRecord = 16;
// The largest non-resident $ATTRIBUTE_LIST read.
constexpr std::uint64_t kMaxAttributeList = 256 * 1024;

std::uint8_t RowFlagsOf(ByteView data, std::optional<ByteView> si) {
    const std::uint16_t f =
        AttributeFlags(data) | (si ? StandardInformationFlags(*si) : std::uint16_t{0});
    std::uint8_t r = 0;
    if (f & kAttrCompressed) r |= kRowCompressed;
    if (f & kAttrEncrypted) r |= kRowEncrypted;
    if (f & kAttrSparse) r |= kRowSparse;
    if (IsResident(data)) r |= kRowResident;
    return r;
}

// Flags, and the share of the clusters still free, of the row whose content is `data`.
void DataDetails(ByteView data, std::optional<ByteView> si, const ClusterBitmap* bitmap,
                 ScanRow& row) {
    row.flags = RowFlagsOf(data, si);
    if (IsResident(data)) {
        row.recoverable = 100;
    } else if (!bitmap) {
        row.recoverable = kRecoverableUnknown;
    } else {
        const ClusterTally t = TallyClusters(data, *bitmap);
        row.recoverable = t.ok ? t.Percent() : kRecoverableUnknown;
    }
}

// Fills `row` from a fixed-up record: false unless its flags are 0 and it
// carries $STANDARD_INFORMATION, $FILE_NAME (file-name rule on) and $DATA.
// The name is assigned in place, so a row object used again keeps its capacity.
// The four times of $STANDARD_INFORMATION and of the $FILE_NAME the name comes from.
void SetTimes(ByteView si, ByteView fn, ScanRow& row) {
    row.created = si.U64(kSiCreated).value_or(0);
    row.modified = si.U64(kSiModified).value_or(0);
    row.mftChanged = si.U64(kSiMftChanged).value_or(0);
    row.accessed = si.U64(kSiAccessed).value_or(0);
    row.fnCreated = fn.U64(kFnCreated).value_or(0);
    row.fnModified = fn.U64(kFnModified).value_or(0);
    row.fnMftChanged = fn.U64(kFnMftChanged).value_or(0);
    row.fnAccessed = fn.U64(kFnAccessed).value_or(0);
}

bool FillRow(ByteView record, ScanRow& row, const ClusterBitmap* bitmap) {
    auto flags = RecordFlags(record);
    if (!flags || *flags != 0) return false;
    const FileAttributes a = FindFileAttributes(record);
    if (!a.standardInformation || !a.fileName || !a.data) return false;

    SetTimes(*a.standardInformation, *a.fileName, row);
    FileNameText(*a.fileName, row.name);
    row.parent = FileNameParent(*a.fileName);
    row.size = DataSize(*a.data);
    row.stream.clear();
    row.kind = RowKind::File;
    DataDetails(*a.data, a.standardInformation, bitmap, row);
    return true;
}

bool HasNamedData(ByteView record) {
    bool named = false;
    ForEachAttribute(record, [&](ByteView attr) {
        named = *attr.U32(0) == kAttrData && attr.U8(kAttrNameUnits).value_or(0) != 0;
        return !named;
    });
    return named;
}

bool NamespaceAccepted(ByteView fileName) {
    const auto ns = fileName.U8(kFnNamespace);
    return ns && (*ns == 0 || *ns == 1 || *ns == 3);
}

// What a free extension record holds of a file: its name, its unnamed $DATA.
struct Extension {
    std::uint64_t record = 0;
    std::uint64_t base = 0;  // the base record's reference, from the header
    std::uint16_t sequence = 0;
    bool hasName = false, hasData = false, dataStart = false;
    std::u16string name;
    std::uint64_t parent = 0;
    std::uint64_t size = 0;  // from the extent at VCN 0
    std::uint8_t flags = 0;
    ClusterTally tally;
};

// A deleted base record whose name or data lie in extension records.
struct PendingFile {
    ScanRow row;
    std::uint16_t sequence = 0;
    bool hasName = false, dataStart = false;
    ClusterTally tally;
    std::vector<ListEntry> entries;  // the list's entries naming other records
};

// A folder whose name lies in an extension record.
struct PendingFolder {
    std::uint64_t record = 0;
    std::uint16_t sequence = 0;
    bool inUse = false;
    std::vector<ListEntry> entries;  // its list's $FILE_NAME entries in other records
};

// The state of one walk: the rows it hands on, and what it keeps for the end.
class Walk {
public:
    Walk(RawVolume& volume, const VolumeInfo& info, ScanObserver& observer,
         const ScanOptions& options, ScanSummary& summary)
        : volume_(volume), info_(info), observer_(observer), options_(options), summary_(summary) {
        bitmap_ = ClusterBitmap::Read(volume, info);
        summary_.bitmapRead = bitmap_.has_value();
    }

    // Records the walk needs to fix up: free ones, folders, and extension
    // records (a folder's name may lie in one). Flags and base reference lie
    // before the first sector's end, so they can be read before the fixups.
    std::uint32_t ProgressEvery() const { return options_.progressEvery; }
    static bool Wanted(std::span<const std::uint8_t> rec) {
        const auto flags = static_cast<std::uint16_t>(rec[kRecFlags] | (rec[kRecFlags + 1] << 8));
        if ((flags & kRecordInUse) == 0 || (flags & kRecordDirectory) != 0) return true;
        return RecordBaseReference(ByteView(rec.data(), rec.size())) != 0;
    }
    void SystemFolders();
    void Examine(ByteView record, std::uint64_t index, std::uint64_t position);
    void Finish();

private:
    const ClusterBitmap* Bitmap() const { return bitmap_ ? &*bitmap_ : nullptr; }
    void Emit(ScanRow&& row) {
        ++summary_.rows;
        observer_.OnRow(std::move(row));
    }
    void Folder(ByteView record, std::uint64_t index, std::uint64_t position, std::uint16_t flags);
    void Streams(ByteView record, const ScanRow& file);
    void KeepExtension(ByteView record, std::uint64_t index, std::vector<Extension>& into);
    void KeepPending(ByteView record, std::uint64_t index, std::uint64_t position);
    std::vector<ListEntry> ListEntries(ByteView list, std::uint64_t self);
    static const Extension* FindIn(const std::vector<Extension>& v, std::uint64_t record);
    const Extension* FindExtension(std::uint64_t record) const {
        return FindIn(extensions_, record);
    }
    void Merge(PendingFile& p);
    void NameFolder(const PendingFolder& f);

    RawVolume& volume_;
    const VolumeInfo& info_;
    ScanObserver& observer_;
    const ScanOptions& options_;
    ScanSummary& summary_;
    std::optional<ClusterBitmap> bitmap_;
    FolderTable folders_;
    std::vector<Extension> extensions_;      // by record number
    std::vector<PendingFile> pending_;       // by record number
    std::vector<Extension> liveExtensions_;  // in use: only folders' names are taken from them
    std::vector<PendingFolder> pendingFolders_;
    ScanRow row_;  // reused: its name keeps its capacity when the observer does not take it
};

void Walk::SystemFolders() {
    std::vector<std::uint8_t> rec(info_.geometry.RecordSize);
    const std::int64_t last = std::min(info_.MftRecordCount, kFirstUserRecord);
    for (std::int64_t i = 0; i < last; ++i) {
        const auto index = static_cast<std::uint64_t>(i);
        if (ReadMftRecord(volume_, info_, index, rec) != RecordRead::Ok) continue;
        const ByteView view(rec.data(), rec.size());
        const std::uint16_t flags = RecordFlags(view).value_or(0);
        if (flags & kRecordDirectory) Folder(view, index, 0, flags | kRecordInUse);
    }
}

void Walk::Examine(ByteView record, std::uint64_t index, std::uint64_t position) {
    const auto flags = RecordFlags(record);
    if (!flags) return;
    if (*flags & kRecordDirectory) return Folder(record, index, position, *flags);
    if (*flags != 0) {
        if ((*flags & kRecordInUse) && RecordBaseReference(record) != 0)
            KeepExtension(record, index, liveExtensions_);
        return;
    }
    if (FillRow(record, row_, Bitmap())) {
        row_.record = index;
        row_.position = position;
        if (!options_.foldersAndStreams || !HasNamedData(record)) return Emit(std::move(row_));
        const ScanRow file = row_;
        Emit(std::move(row_));
        return Streams(record, file);
    }
    if (RecordBaseReference(record) != 0) return KeepExtension(record, index, extensions_);
    KeepPending(record, index, position);
}

void Walk::Folder(ByteView record, std::uint64_t index, std::uint64_t position,
                  std::uint16_t flags) {
    const auto fn = FindAttributeView(record, kAttrFileName, true);
    if (!fn) {
        const auto list = FindAttributeView(record, kAttrAttributeList);
        if (!list) return;
        PendingFolder f{index, RecordSequence(record), (flags & kRecordInUse) != 0,
                        ListEntries(*list, index)};
        std::erase_if(f.entries, [](const ListEntry& e) { return e.type != kAttrFileName; });
        if (!f.entries.empty()) pendingFolders_.push_back(std::move(f));
        return;
    }
    std::u16string name;
    FileNameText(*fn, name);
    const bool inUse = (flags & kRecordInUse) != 0;
    folders_.Add(index, RecordSequence(record), inUse, FileNameParent(*fn), name);
    if (inUse || flags != kRecordDirectory || !options_.foldersAndStreams) return;
    const auto si = FindAttributeView(record, kAttrStandardInformation);
    if (!si) return;
    ScanRow row;
    row.kind = RowKind::Folder;
    row.record = index;
    row.position = position;
    row.name = std::move(name);
    row.parent = FileNameParent(*fn);
    SetTimes(*si, *fn, row);
    Emit(std::move(row));
}

void Walk::Streams(ByteView record, const ScanRow& file) {
    const auto si = FindAttributeView(record, kAttrStandardInformation);
    ForEachAttribute(record, [&](ByteView attr) {
        if (*attr.U32(0) != kAttrData) return true;
        std::u16string stream = AttributeName(attr);
        if (stream.empty() || StartVcn(attr) != 0) return true;
        ScanRow row = file;
        row.kind = RowKind::Stream;
        row.stream = std::move(stream);
        row.size = DataSize(attr);
        DataDetails(attr, si, Bitmap(), row);
        Emit(std::move(row));
        return true;
    });
}

void Walk::KeepExtension(ByteView record, std::uint64_t index, std::vector<Extension>& into) {
    Extension e;
    e.record = index;
    e.base = RecordBaseReference(record);
    e.sequence = RecordSequence(record);
    ForEachAttribute(record, [&](ByteView attr) {
        const std::uint32_t type = *attr.U32(0);
        if (type == kAttrFileName && !e.hasName && NamespaceAccepted(attr)) {
            FileNameText(attr, e.name);
            e.parent = FileNameParent(attr);
            e.hasName = true;
        } else if (type == kAttrData && AttributeName(attr).empty()) {
            e.hasData = true;
            if (StartVcn(attr) == 0) {
                e.dataStart = true;
                e.size = DataSize(attr);
                e.flags = RowFlagsOf(attr, std::nullopt);
            }
            if (!IsResident(attr) && bitmap_) e.tally += TallyClusters(attr, *bitmap_);
        }
        return true;
    });
    if (e.hasName || e.hasData) into.push_back(std::move(e));
}

std::vector<ListEntry> Walk::ListEntries(ByteView list, std::uint64_t self) {
    std::vector<ListEntry> entries;
    AlignedBuffer buffer;
    ByteView value;
    if (IsResident(list)) {
        const std::uint64_t length = list.U32(kResValueLength).value_or(0);
        const std::uint64_t offset = list.U16(kResValueOffset).value_or(0);
        value = list.SubClamped(offset, length);
    } else {
        const std::uint64_t size = list.U64(kNrDataSize).value_or(0);
        if (size == 0 || size > kMaxAttributeList) return entries;
        buffer.Reset(static_cast<std::size_t>(size));
        if (!ReadNonResident(volume_, list, info_.geometry.ClusterSize, buffer.span()))
            return entries;
        value = ByteView(buffer.data(), buffer.size());
    }
    for (const ListEntry& e : ListEntriesUpToDamage(value)) {
        const bool wanted = e.type == kAttrFileName || (e.type == kAttrData && !e.named);
        if (wanted && ReferenceRecord(e.reference) != self) entries.push_back(e);
    }
    return entries;
}

void Walk::KeepPending(ByteView record, std::uint64_t index, std::uint64_t position) {
    const FileAttributes a = FindFileAttributes(record);
    if (!a.standardInformation) return;
    const auto list = FindAttributeView(record, kAttrAttributeList);
    if (!list) return;
    PendingFile p;
    p.entries = ListEntries(*list, index);
    if (p.entries.empty()) return;
    p.sequence = RecordSequence(record);
    p.row.record = index;
    p.row.position = position;
    p.row.created = a.standardInformation->U64(kSiCreated).value_or(0);
    p.row.modified = a.standardInformation->U64(kSiModified).value_or(0);
    p.row.mftChanged = a.standardInformation->U64(kSiMftChanged).value_or(0);
    p.row.accessed = a.standardInformation->U64(kSiAccessed).value_or(0);
    if (a.fileName) {
        SetTimes(*a.standardInformation, *a.fileName, p.row);
        FileNameText(*a.fileName, p.row.name);
        p.row.parent = FileNameParent(*a.fileName);
        p.hasName = true;
    }
    ForEachAttribute(record, [&](ByteView attr) {
        if (*attr.U32(0) != kAttrData || !AttributeName(attr).empty()) return true;
        if (StartVcn(attr) == 0 && !p.dataStart) {
            p.dataStart = true;
            p.row.size = DataSize(attr);
            p.row.flags = RowFlagsOf(attr, a.standardInformation);
        }
        if (!IsResident(attr) && bitmap_) p.tally += TallyClusters(attr, *bitmap_);
        return true;
    });
    pending_.push_back(std::move(p));
}

const Extension* Walk::FindIn(const std::vector<Extension>& v, std::uint64_t record) {
    auto it = std::lower_bound(v.begin(), v.end(), record,
                               [](const Extension& e, std::uint64_t r) { return e.record < r; });
    return it != v.end() && it->record == record ? &*it : nullptr;
}

// Adds a folder named in an extension record: one in use for a folder in use,
// a free one for a deleted folder, each naming the folder as its base.
void Walk::NameFolder(const PendingFolder& f) {
    const std::vector<Extension>& from = f.inUse ? liveExtensions_ : extensions_;
    for (const ListEntry& e : f.entries) {
        const Extension* x = FindIn(from, ReferenceRecord(e.reference));
        if (!x || !x->hasName) continue;
        if (!SequenceMatches(x->sequence, ReferenceSequence(e.reference), f.inUse)) continue;
        if (ReferenceRecord(x->base) != f.record ||
            !SequenceMatches(f.sequence, ReferenceSequence(x->base), f.inUse))
            continue;
        folders_.Add(f.record, f.sequence, f.inUse, x->parent, x->name);
        return;
    }
}

// Completes a pending file from the extension records its list names: each
// must be free, be the one the list meant and name this record as its base.
void Walk::Merge(PendingFile& p) {
    std::vector<std::uint64_t> used;
    for (const ListEntry& e : p.entries) {
        const Extension* x = FindExtension(ReferenceRecord(e.reference));
        if (!x || !SequenceMatches(x->sequence, ReferenceSequence(e.reference), false)) continue;
        if (ReferenceRecord(x->base) != p.row.record ||
            !SequenceMatches(p.sequence, ReferenceSequence(x->base), false))
            continue;
        if (e.type == kAttrFileName && x->hasName && !p.hasName) {
            p.row.name = x->name;
            p.row.parent = x->parent;
            p.hasName = true;
        }
        if (e.type != kAttrData || !x->hasData) continue;
        if (x->dataStart && !p.dataStart) {
            p.dataStart = true;
            p.row.size = x->size;
            p.row.flags = x->flags;
        }
        if (std::find(used.begin(), used.end(), x->record) != used.end()) continue;
        used.push_back(x->record);
        p.tally += x->tally;
    }
}

// The list names a $FILE_NAME in another record: the file had a name, which
// that record no longer holds (a driver may clear a freed extension record).
bool NamedInAnotherRecord(const PendingFile& p) {
    return std::any_of(p.entries.begin(), p.entries.end(), [&](const ListEntry& e) {
        return e.type == kAttrFileName && ReferenceRecord(e.reference) != p.row.record;
    });
}

// A file whose name is lost is listed by its record number, with no folder:
// its content may still be whole in its base and extension records.
void NameByRecord(PendingFile& p) {
    const std::string name = "record-" + std::to_string(p.row.record);
    p.row.name.assign(name.begin(), name.end());
    p.row.parent = 0;  // no folder known: an orphan
    p.hasName = true;
}

void Walk::Finish() {
    for (const PendingFolder& f : pendingFolders_) NameFolder(f);
    pendingFolders_.clear();
    liveExtensions_.clear();
    for (PendingFile& p : pending_) {
        Merge(p);
        if (!p.hasName && NamedInAnotherRecord(p)) NameByRecord(p);
        if (!p.hasName || !p.dataStart) continue;
        if (p.row.flags & kRowResident)
            p.row.recoverable = 100;
        else if (bitmap_ && p.tally.ok)
            p.row.recoverable = p.tally.Percent();
        Emit(std::move(p.row));
    }
    pending_.clear();
    extensions_.clear();
    folders_.Resolve();
    summary_.folders = std::make_shared<FolderTable>(std::move(folders_));
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
    if (!FillRow(record, row, nullptr)) return std::nullopt;
    return row;
}

std::string RowSourceText(RowSource source, std::uint16_t snapshot) {
    switch (source) {
        case RowSource::Mft:
            return "mft";
        case RowSource::LostRecord:
            return "lost-record";
        case RowSource::Index:
            return "index";
        case RowSource::Journal:
            return "journal";
        case RowSource::Carved:
            return "carved";
        case RowSource::Snapshot:
            return "snapshot " + std::to_string(snapshot);
    }
    return "mft";
}

FolderPath RowFolder(const ScanSummary& summary, const ScanRow& row) {
    if (row.detail && row.detail->folder) return {*row.detail->folder, false};
    if (!summary.folders) return {};
    if (row.kind == RowKind::Folder) return summary.folders->ParentOf(row.record);
    return summary.folders->PathOf(row.parent);
}

std::u16string RowPath(const FolderPath& folder, const ScanRow& row) {
    std::u16string path;
    path.reserve(folder.text.size() + row.name.size() + row.stream.size() + 2);
    path += folder.text;
    path += u'/';
    path += row.name;
    if (row.kind == RowKind::Stream) {
        path += u':';
        path += row.stream;
    }
    return path;
}

namespace {

const BadRange* BadRangeOf(const std::vector<BadRange>& bad, std::uint64_t lo, std::uint64_t hi) {
    const BadRange* hit = nullptr;
    for (const BadRange& b : bad)
        if (b.begin < hi && lo < b.end) {
            hit = &b;
            if (!b.mapped) break;
        }
    return hit;
}

bool ReadsAhead(ScanOptions::ReadAhead mode, const RawVolume& source) {
    using Mode = ScanOptions::ReadAhead;
    return mode == Mode::Always || (mode == Mode::OnDevices && source.SectorSize() > 1);
}

// Examines the records of one chunk; false when a stop request ended it.
bool WalkChunk(Chunk& c, RawVolume& volume, const VolumeInfo& info, Walk& walk,
               ScanObserver& observer, ScanSummary& summary, const std::atomic<bool>& stopRequested,
               AlignedBuffer& single) {
    const std::uint64_t every = std::max<std::uint32_t>(walk.ProgressEvery(), 1);
    const std::uint64_t rs = info.geometry.RecordSize;
    // The flags word (bytes 22 and 23) lies before the first protected sector
    // end whenever the stride is 32 bytes or more, so it can be read before the
    // fixups: records the walk does not need are passed over without them.
    const bool flagsBeforeFixups = info.geometry.BytesPerSector >= 32;
    // The piece holding the current record's first byte, and where it starts in the chunk.
    std::size_t piece = 0;
    std::uint64_t pieceStart = 0;
    for (std::uint64_t k = 0; k < c.count; ++k) {
        if (stopRequested.load(std::memory_order_relaxed)) return false;
        const std::uint64_t index = c.first + k;
        const std::uint64_t lo = k * rs, hi = lo + rs;
        while (pieceStart + c.pieces[piece].length <= lo) pieceStart += c.pieces[piece++].length;
        const BadRange* hit = BadRangeOf(c.bad, lo, hi);
        std::span<std::uint8_t> rec(c.data + lo, static_cast<std::size_t>(rs));
        bool ok;
        if (!hit) {
            ok = !(flagsBeforeFixups && !Walk::Wanted(rec)) &&
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
        if (ok) {
            const MftMap::Piece& p = c.pieces[piece];
            walk.Examine(ByteView(rec.data(), rec.size()), index,
                         p.mapped ? p.offset + (lo - pieceStart) : 0);
        }
        ++summary.recordsWalked;
        if (summary.recordsWalked % every == 0) observer.OnProgress(summary.recordsWalked);
    }
    return true;
}

}  // namespace

ScanSummary RunScan(RawVolume& source, ScanObserver& observer,
                    const std::atomic<bool>& stopRequested, const ScanOptions& options) {
    ScanSummary summary;
    summary.setup = SetupVolume(source, &observer);
    if (!summary.setup.info) return summary;
    const VolumeInfo& info = *summary.setup.info;
    const std::uint64_t rs = info.geometry.RecordSize;
    const std::int64_t count = info.MftRecordCount;

    // The read-ahead thread and the walk's own reads share the source.
    SerialisedVolume volume(source);
    Walk walk(volume, info, observer, options, summary);
    walk.SystemFolders();
    observer.OnWalkStart(count);
    const std::uint64_t first = static_cast<std::uint64_t>(std::min(count, kFirstUserRecord));
    const std::uint64_t end = static_cast<std::uint64_t>(std::max<std::int64_t>(count, 0));
    // Records per chunk: at least one, and no more than the walk needs.
    const std::uint64_t perChunk =
        options.chunkBytes == 0
            ? 1
            : std::clamp<std::uint64_t>(options.chunkBytes / rs, 1,
                                        std::max<std::uint64_t>(end - first, 1));
    AlignedBuffer single(static_cast<std::size_t>(rs));
    {
        ChunkReader reader(volume, info, first, end, perChunk,
                           options.chunkBytes != 0 && ReadsAhead(options.readAhead, source));
        while (Chunk* c = reader.Next())
            if (!WalkChunk(*c, volume, info, walk, observer, summary, stopRequested, single)) {
                summary.stopped = true;
                break;
            }
    }
    walk.Finish();
    observer.OnProgress(summary.recordsWalked);
    return summary;
}

}  // namespace qm
