#include "scan/RecordParts.h"

#include <algorithm>

namespace qm {
namespace {

constexpr std::size_t kRecSequence = 16;
constexpr std::size_t kRecBaseReference = 32;
// $FILE_NAME fields at fixed offsets of the attribute (the value starts at 24).
constexpr std::size_t kFnParent = 24;
constexpr std::size_t kFnNameLength = 88;
constexpr std::size_t kFnName = 90;
// $STANDARD_INFORMATION file attributes.
constexpr std::size_t kSiFileAttributes = 24 + 32;
constexpr std::uint32_t kFileSparse = 0x0200;
constexpr std::uint32_t kFileCompressed = 0x0800;
constexpr std::uint32_t kFileEncrypted = 0x4000;
// $ATTRIBUTE_LIST entry fields.
constexpr std::size_t kAlType = 0;
constexpr std::size_t kAlLength = 4;
constexpr std::size_t kAlNameLength = 6;
constexpr std::size_t kAlStartVcn = 8;
constexpr std::size_t kAlReference = 16;
constexpr std::size_t kAlMinLength = 26;

}  // namespace

std::uint16_t RecordSequence(ByteView record) {
    return record.U16(kRecSequence).value_or(0);
}

std::uint64_t RecordBaseReference(ByteView record) {
    return record.U64(kRecBaseReference).value_or(0);
}

void FileNameText(ByteView fn, std::u16string& name) {
    const std::uint64_t units = fn.U8(kFnNameLength).value_or(0);
    const std::uint64_t room = fn.size() > kFnName ? (fn.size() - kFnName) / 2 : 0;
    const std::size_t n = static_cast<std::size_t>(std::min(units, room));
    name.resize(n);
    const std::uint8_t* p = fn.data() + kFnName;
    for (std::size_t i = 0; i < n; ++i)
        name[i] = static_cast<char16_t>(p[2 * i] | (p[2 * i + 1] << 8));
}

std::uint64_t FileNameParent(ByteView fn) {
    return fn.U64(kFnParent).value_or(0);
}

// (k + 1) x 4 bytes at 16 + 32k, k being the non-resident byte; the bytes
// inside the attribute, low 64 bits.
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

bool IsResident(ByteView attr) {
    return attr.U8(kAttrNonResident).value_or(0) == 0;
}

std::uint64_t StartVcn(ByteView attr) {
    return IsResident(attr) ? 0 : attr.U64(kNrStartVcn).value_or(0);
}

std::uint16_t AttributeFlags(ByteView attr) {
    return attr.U16(kAttrFlags).value_or(0);
}

std::uint16_t StandardInformationFlags(ByteView si) {
    const std::uint32_t a = si.U32(kSiFileAttributes).value_or(0);
    std::uint16_t f = 0;
    if (a & kFileCompressed) f |= kAttrCompressed;
    if (a & kFileEncrypted) f |= kAttrEncrypted;
    if (a & kFileSparse) f |= kAttrSparse;
    return f;
}

std::vector<ListEntry> ListEntriesUpToDamage(ByteView value) {
    std::vector<ListEntry> entries;
    std::uint64_t p = 0;
    while (value.Has(p, kAlMinLength)) {
        const std::uint64_t length = *value.U16(p + kAlLength);
        if (length < kAlMinLength || !value.Has(p, length)) break;
        ListEntry e;
        e.type = *value.U32(p + kAlType);
        e.named = *value.U8(p + kAlNameLength) != 0;
        e.startVcn = *value.U64(p + kAlStartVcn);
        e.reference = *value.U64(p + kAlReference);
        entries.push_back(e);
        p += length;
    }
    return entries;
}

}  // namespace qm
