// Gathering one $DATA attribute's extents across the records that hold them.
#include "ntfs/Extents.h"

#include <algorithm>
#include <list>
#include <map>

#include "ntfs/AttributeList.h"

namespace qm {
namespace {

// An attribute list is at most a few hundred KiB even for the most fragmented file.
constexpr std::uint64_t kMaxAttributeList = 4u << 20;
// Extension records read for one file, and extents kept for it: bounds on
// what a hostile list can make the recovery hold (a 4 KiB record holds at
// most about a thousand runs).
constexpr std::size_t kMaxExtensionRecords = 4096;
constexpr std::size_t kMaxExtents = std::size_t{1} << 22;
// The record number in the header of NTFS 3.1 records, present when the
// update sequence array starts at or after 48.
constexpr std::size_t kRecNumber = 44;
constexpr std::size_t kRecNumberEnd = 48;

bool NameIs(ByteView attr, std::u16string_view name) {
    return AttributeName(attr) == name;
}

std::uint16_t NextSequence(std::uint16_t s) {
    return s == 0xFFFF ? 1 : static_cast<std::uint16_t>(s + 1);
}

std::optional<std::uint64_t> HeaderNumber(ByteView record) {
    auto usa = record.U16(kRecUsaOffset);
    if (!usa || *usa < kRecNumberEnd) return std::nullopt;
    auto n = record.U32(kRecNumber);
    return n ? std::optional<std::uint64_t>(*n) : std::nullopt;
}

// The $DATA piece named `name` of `record` that starts at `startVcn`.
std::optional<ByteView> FindPiece(ByteView record, std::u16string_view name,
                                  std::uint64_t startVcn) {
    std::optional<ByteView> found;
    ForEachAttribute(record, [&](ByteView a) {
        if (a.U32(0) != kAttrData || !NameIs(a, name)) return true;
        const bool nonResident = a.U8(kAttrNonResident).value_or(0) == 1;
        if ((nonResident ? a.U64(kNrStartVcn).value_or(~0ull) : 0) != startVcn) return true;
        found = a;
        return false;
    });
    return found;
}

// The value of an $ATTRIBUTE_LIST attribute, read from the volume when it is
// non-resident; with `allocation`, the whole of the clusters it was given.
ErrorOr<std::vector<std::uint8_t>> ListValue(ByteView attr, const ExtentSource& src,
                                             bool allocation = false) {
    if (attr.U8(kAttrNonResident).value_or(0) != 1) {
        auto len = attr.U32(kResValueLength);
        auto off = attr.U16(kResValueOffset);
        auto value = len && off ? attr.Sub(*off, *len) : std::nullopt;
        if (!value)
            return Error::At(ErrorCode::BadAttribute, kResValueLength,
                             "attribute list value leaves its attribute");
        return std::vector<std::uint8_t>(value->data(), value->data() + value->size());
    }
    auto size = attr.U64(kNrDataSize);
    if (!size || *size > kMaxAttributeList)
        return Error::At(ErrorCode::BadAttribute, kNrDataSize, "attribute list size out of range");
    if (!src.volume || src.clusterSize == 0)
        return Error::Make(ErrorCode::ReadFailed, "attribute list lies outside the record");
    const std::uint64_t want =
        allocation
            ? std::max(*size, std::min(attr.U64(kNrAllocatedSize).value_or(0), kMaxAttributeList))
            : *size;
    QM_TRY(list, RunListOf(attr));
    QM_TRY(runs, DecodeRunList(list));
    std::vector<std::uint8_t> out(static_cast<std::size_t>(want), 0);
    std::uint64_t at = 0;
    for (const DataRun& r : runs) {
        if (at >= want) break;
        auto bytes = CheckedMul(r.length, src.clusterSize);
        auto pos = CheckedMul(r.lcn, src.clusterSize);
        if (!bytes || !pos) return Error::At(ErrorCode::BadRunList, at, "run overflows 64 bits");
        const std::uint64_t take = std::min(*bytes, want - at);
        std::span<std::uint8_t> dst(out.data() + at, static_cast<std::size_t>(take));
        if (!r.sparse && src.volume->ReadAt(*pos, dst) != dst.size())
            return Error::At(ErrorCode::ReadFailed, *pos, "attribute list cannot be read");
        at += take;
    }
    return out;
}

// Holds the extension records read so far; the views into them stay valid.
class RecordCache {
public:
    RecordCache(ByteView base, const ExtentSource& src) : base_(base), src_(src) {
        baseNumber_ = src.baseNumber ? src.baseNumber : HeaderNumber(base);
        baseSequence_ = base.U16(kRecSequence).value_or(0);
    }
    bool IsBase(std::uint64_t number) const { return baseNumber_ && *baseNumber_ == number; }

    // The extension record `reference` names, checked to belong to this file;
    // nullopt with `why` set when it cannot be used.
    std::optional<ByteView> Extension(std::uint64_t reference, std::string& why) {
        const std::uint64_t number = ReferenceRecord(reference);
        auto it = records_.find(number);
        if (it == records_.end()) {
            if (records_.size() >= kMaxExtensionRecords) {
                why = "more extension records than " + UDecimalText(kMaxExtensionRecords);
                return std::nullopt;
            }
            it = records_.emplace(number, Load(number)).first;
        }
        if (!it->second) {
            why = "extension record " + UDecimalText(number) + " cannot be read";
            return std::nullopt;
        }
        ByteView r(it->second->data(), it->second->size());
        const std::uint64_t baseRef = r.U64(kRecBaseReference).value_or(0);
        const std::uint16_t baseSeq = ReferenceSequence(baseRef);
        if (baseRef == 0 || (baseNumber_ && ReferenceRecord(baseRef) != *baseNumber_) ||
            (baseSeq != baseSequence_ && NextSequence(baseSeq) != baseSequence_)) {
            why = "record " + UDecimalText(number) + " belongs to another file";
            return std::nullopt;
        }
        const std::uint16_t seq = r.U16(kRecSequence).value_or(0);
        const std::uint16_t listed = ReferenceSequence(reference);
        if (seq != listed && seq != NextSequence(listed)) {
            why = "record " + UDecimalText(number) + " was reused (sequence " + UDecimalText(seq) +
                  ", the list says " + UDecimalText(listed) + ")";
            return std::nullopt;
        }
        return r;
    }

private:
    std::optional<std::vector<std::uint8_t>> Load(std::uint64_t number) {
        std::vector<std::uint8_t> buf;
        if (!src_.readRecord || !src_.readRecord(number, buf)) return std::nullopt;
        return buf;
    }

    ByteView base_;
    const ExtentSource& src_;
    std::optional<std::uint64_t> baseNumber_;
    std::uint16_t baseSequence_ = 0;
    std::map<std::uint64_t, std::optional<std::vector<std::uint8_t>>> records_;
};

// The pieces of the $DATA the attribute list names, in list order.
ErrorOr<std::vector<ByteView>> ListedPieces(ByteView base, ByteView listAttr,
                                            std::u16string_view name, const ExtentSource& src,
                                            RecordCache& cache, std::string& missing) {
    QM_TRY(value, ListValue(listAttr, src));
    QM_TRY(entries, ParseAttributeList(ByteView(value.data(), value.size())));
    std::vector<ByteView> pieces;
    for (const AttributeListEntry& e : entries) {
        if (e.type != kAttrData || e.name != name) continue;
        const std::uint64_t number = ReferenceRecord(e.reference);
        std::optional<ByteView> piece;
        std::string why;
        // The base record's own pieces: named by number, or found there when
        // the base's number is unknown.
        if (cache.IsBase(number) || (!src.baseNumber && !HeaderNumber(base)))
            piece = FindPiece(base, name, e.startVcn);
        if (!piece && !cache.IsBase(number)) {
            if (auto record = cache.Extension(e.reference, why)) {
                piece = FindPiece(*record, name, e.startVcn);
                if (!piece) why = "record " + UDecimalText(number) + " lacks the extent";
            }
        }
        if (!piece && why.empty()) why = "the base record lacks an extent";
        if (piece)
            pieces.push_back(*piece);
        else if (missing.empty())
            missing = why + " (from VCN " + UDecimalText(e.startVcn) + ")";
    }
    return pieces;
}

std::uint64_t VcnOf(ByteView a) {
    return a.U8(kAttrNonResident).value_or(0) == 1 ? a.U64(kNrStartVcn).value_or(0) : 0;
}

// The entries that follow `from` in `value`, as long as they are well formed.
std::vector<AttributeListEntry> EntriesFrom(const std::vector<std::uint8_t>& value,
                                            std::size_t from) {
    std::vector<AttributeListEntry> entries;
    const ByteView v(value.data(), value.size());
    while (from + kAlMinEntry <= value.size()) {
        const std::uint32_t type = v.U32(from + kAlType).value_or(0);
        const std::size_t length = v.U16(from + kAlLength).value_or(0);
        if (type == 0 || type == 0xFFFFFFFFu || length < kAlMinEntry || length % 8 != 0 ||
            length > value.size() - from)
            break;
        auto one = ParseAttributeList(*v.Sub(from, length), 1);
        if (!one || one->size() != 1) break;
        entries.push_back(std::move(one->front()));
        from += length;
    }
    return entries;
}

// Some drivers, deleting a file over extension records, shorten its list's
// recorded size by the $FILE_NAME entry they drop yet leave every entry in
// place: the last one then lies past the size, inside the list's clusters.
// When the pieces end before the data does, entries found there that carry
// on exactly where the pieces end (and pass the same record checks) are taken.
void TakeEntriesPastTheSize(ByteView listAttr, std::u16string_view name, const ExtentSource& src,
                            RecordCache& cache, std::vector<ByteView>& pieces) {
    if (listAttr.U8(kAttrNonResident).value_or(0) != 1 || pieces.empty() || src.clusterSize == 0)
        return;
    const ByteView first = pieces.front();
    if (first.U8(kAttrNonResident).value_or(0) != 1) return;
    const std::uint64_t vcns =
        first.U64(kNrAllocatedSize).value_or(0) / src.clusterSize;  // the data's clusters
    auto endOf = [](ByteView p) { return p.U64(kNrLastVcn).value_or(0) + 1; };
    std::uint64_t end = endOf(pieces.back());
    if (end >= vcns) return;
    auto whole = ListValue(listAttr, src, true);
    const std::uint64_t size = listAttr.U64(kNrDataSize).value_or(0);
    if (!whole || size >= whole->size()) return;
    for (const AttributeListEntry& e : EntriesFrom(*whole, static_cast<std::size_t>(size))) {
        if (e.type != kAttrData || e.name != name || e.startVcn != end) continue;
        std::string why;
        auto record = cache.Extension(e.reference, why);
        auto piece = record ? FindPiece(*record, name, e.startVcn) : std::nullopt;
        if (!piece || piece->U8(kAttrNonResident).value_or(0) != 1) return;
        pieces.push_back(*piece);
        end = endOf(*piece);
        if (end >= vcns) return;
    }
}

// Appends the runs of one non-resident piece, checked to follow the pieces
// before it and to stay inside 64-bit byte arithmetic.
ErrorOr<void> AppendPiece(ByteView attr, std::uint32_t cs, std::vector<Extent>& out) {
    if (attr.U8(kAttrNonResident).value_or(0) != 1)
        return Error::At(ErrorCode::BadAttribute, kAttrNonResident,
                         "a later $DATA piece is resident");
    auto startVcn = attr.U64(kNrStartVcn);
    if (!startVcn) return Error::At(ErrorCode::BadAttribute, kNrStartVcn, "$DATA header cut short");
    const std::uint64_t end = out.empty() ? 0 : out.back().vcn + out.back().length;
    if (*startVcn < end)
        return Error::Mismatch(ErrorCode::BadRunList, kNrStartVcn,
                               "$DATA piece start VCN (at least)", end, *startVcn);
    QM_TRY(list, RunListOf(attr));
    QM_TRY(runs, DecodeRunList(list));
    std::uint64_t vcn = *startVcn;
    for (const DataRun& r : runs) {
        if (r.length == 0) continue;
        auto next = CheckedAdd(vcn, r.length);
        if (!next || !CheckedMul(*next, cs))
            return Error::At(ErrorCode::BadRunList, vcn, "run length overflows 64 bits");
        auto last = CheckedAdd(r.lcn, r.length);
        if (!r.sparse && (!last || !CheckedMul(*last, cs)))
            return Error::At(ErrorCode::BadRunList, vcn, "run position overflows 64 bits");
        if (out.size() >= kMaxExtents)
            return Error::At(ErrorCode::BadRunList, vcn, "more extents than one file may hold");
        out.push_back(Extent{vcn, r.length, r.sparse, r.sparse ? 0 : r.lcn});
        vcn = *next;
    }
    return {};
}

void ReadHeader(ByteView first, DataExtents& out) {
    out.flags = first.U16(kAttrFlags).value_or(0);
    if (first.U8(kAttrNonResident).value_or(0) != 1) {
        out.resident = true;
        return;
    }
    out.compressionUnit = first.U8(kNrCompressionUnit).value_or(0);
    out.allocatedSize = first.U64(kNrAllocatedSize).value_or(0);
    out.dataSize = first.U64(kNrDataSize).value_or(0);
    out.initializedSize = first.U64(kNrInitializedSize).value_or(0);
}

ErrorOr<void> ReadResident(ByteView attr, DataExtents& out) {
    auto len = attr.U32(kResValueLength);
    auto off = attr.U16(kResValueOffset);
    if (!len || !off)
        return Error::At(ErrorCode::BadAttribute, kResValueLength, "resident header cut short");
    if (*len >= (std::uint32_t{1} << 31))
        return Error::At(ErrorCode::BadAttribute, kResValueLength, "resident length out of range");
    ByteView content = attr.SubClamped(*off, *len);
    out.residentValue.assign(content.data(), content.data() + content.size());
    out.dataSize = content.size();
    return {};
}

}  // namespace

std::u16string AttributeName(ByteView attr) {
    const std::uint64_t length = attr.U8(kAttrNameLength).value_or(0);
    const std::uint64_t offset = attr.U16(kAttrNameOffset).value_or(0);
    std::u16string name;
    for (std::uint64_t i = 0; i < length; ++i) {
        auto unit = attr.U16(offset + 2 * i);
        if (!unit) break;
        name.push_back(static_cast<char16_t>(*unit));
    }
    return name;
}

bool RecordIsEncrypted(ByteView record) {
    auto si = FindAttributeView(record, kAttrStandardInformation);
    if (!si || si->U8(kAttrNonResident).value_or(0) != 0) return false;
    auto off = si->U16(kResValueOffset);
    auto attributes = off ? si->U32(*off + std::uint64_t{kStdInfoFileAttributes}) : std::nullopt;
    return attributes && (*attributes & kFileAttributeEncrypted) != 0;
}

ErrorOr<DataExtents> GatherDataExtents(ByteView baseRecord, std::u16string_view name,
                                       const ExtentSource& source) {
    DataExtents out;
    RecordCache cache(baseRecord, source);
    std::vector<ByteView> pieces;
    if (auto listAttr = FindAttributeView(baseRecord, kAttrAttributeList)) {
        QM_TRY(listed, ListedPieces(baseRecord, *listAttr, name, source, cache, out.missing));
        pieces = std::move(listed);
    }
    if (pieces.empty() && out.missing.empty()) {
        // No list, or one without this $DATA: the pieces the base record holds.
        ForEachAttribute(baseRecord, [&](ByteView a) {
            if (a.U32(0) == kAttrData && NameIs(a, name)) pieces.push_back(a);
            return true;
        });
    }
    if (pieces.empty() && out.missing.empty())
        return Error::Make(ErrorCode::BadAttribute, "no such $DATA attribute");
    std::stable_sort(pieces.begin(), pieces.end(),
                     [&](ByteView a, ByteView b) { return VcnOf(a) < VcnOf(b); });
    if (pieces.empty() || VcnOf(pieces.front()) != 0)
        return Error::Make(ErrorCode::BadRunList, "the first extent is missing: " + out.missing);
    if (auto listAttr = FindAttributeView(baseRecord, kAttrAttributeList))
        TakeEntriesPastTheSize(*listAttr, name, source, cache, pieces);
    ReadHeader(pieces.front(), out);
    if (out.resident) {
        auto read = ReadResident(pieces.front(), out);
        if (!read) return read.take_error();
        return out;
    }
    for (ByteView p : pieces) {
        auto appended = AppendPiece(p, source.clusterSize, out.extents);
        if (!appended) return appended.take_error();
    }
    return out;
}

}  // namespace qm
