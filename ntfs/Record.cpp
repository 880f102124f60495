// MFT file records: update-sequence fixups and the attribute walk.
#include <cstring>

#include "ntfs/uNTFS.h"

namespace qm {
namespace {

// NTFS protects records in 512-byte blocks whatever the sector size; volumes
// whose records are one sector long may use the sector as the stride.
constexpr std::uint32_t kNtfsBlock = 512;
// Offset of the namespace byte in a resident $FILE_NAME attribute.
constexpr std::uint64_t kFileNameNamespace = 89;

bool NamespaceAccepted(std::uint8_t ns) {
    return ns == 0 || ns == 1 || ns == 3;
}

}  // namespace

bool HasFileSignature(ByteView record) {
    return record.size() >= 4 && std::memcmp(record.data(), "FILE", 4) == 0;
}

bool ApplyFixups(std::span<std::uint8_t> record, std::uint32_t bytesPerSector) {
    ByteView view(record.data(), record.size());
    if (!HasFileSignature(view) || record.size() < kRecHeaderMin) return false;
    const std::uint64_t usaOffset = *view.U16(kRecUsaOffset);
    const std::uint64_t count = *view.U16(kRecUsaCount);
    // Without at least one protected sector the record's sector ends cannot be
    // told from torn writes: such a record is refused.
    if (count < 2 || bytesPerSector == 0) return false;
    const std::uint64_t sectors = count - 1;
    const std::uint64_t size = record.size();

    // The stride: the one that makes the array cover the record exactly, else
    // the sector size as long as every protected sector lies inside the record.
    std::uint64_t stride = 0;
    if (sectors * bytesPerSector == size)
        stride = bytesPerSector;
    else if (sectors * kNtfsBlock == size)
        stride = kNtfsBlock;
    else if (sectors * bytesPerSector <= size)
        stride = bytesPerSector;
    else
        return false;
    if (stride < 2) return false;

    // The array itself (number plus one entry per sector) must lie inside the record.
    if (!view.Has(usaOffset, 2 * count)) return false;

    const std::uint8_t usn0 = record[usaOffset];
    const std::uint8_t usn1 = record[usaOffset + 1];
    for (std::uint64_t i = 1; i <= sectors; ++i) {
        const std::uint64_t end = i * stride;  // <= size, checked above
        if (record[end - 2] != usn0 || record[end - 1] != usn1) return false;
        record[end - 2] = record[usaOffset + 2 * i];
        record[end - 1] = record[usaOffset + 2 * i + 1];
    }
    return true;
}

bool ApplyFixups(TDynamicCharArray& record, const VolumeGeometry& geometry) {
    return ApplyFixups(std::span<std::uint8_t>(record.data(), record.size()),
                       geometry.BytesPerSector);
}

std::optional<std::uint16_t> RecordFlags(ByteView record) {
    return record.U16(kRecFlags);
}

std::optional<ByteView> FindAttributeView(ByteView record, std::uint32_t type, bool fileNameRule) {
    std::optional<ByteView> found;
    ForEachAttribute(record, [&](ByteView attr) {
        if (*attr.U32(0) != type) return true;
        if (fileNameRule && type == kAttrFileName) {
            // A $FILE_NAME too short to hold its namespace byte ends the search.
            auto ns = attr.U8(kFileNameNamespace);
            if (!ns) return false;
            if (!NamespaceAccepted(*ns)) return true;
        }
        found = attr;
        return false;
    });
    return found;
}

FileAttributes FindFileAttributes(ByteView record) {
    // The walk of ForEachAttribute, written out: it runs once for every deleted
    // file of a scan.
    FileAttributes found;
    bool nameDone = false;  // the $FILE_NAME search has found one or has ended empty
    const std::uint64_t size = record.size();
    std::uint64_t p = 0;
    if (HasFileSignature(record)) {
        auto first = record.U16(kRecFirstAttribute);
        if (!first) return found;
        p = *first;
    }
    while (record.Has(p, 16)) {
        const std::uint32_t type = *record.U32(p);
        if (type == kAttrEnd) break;
        const std::uint64_t length = *record.U32(p + 4);
        if (length == 0 || length % 8 != 0) break;
        const ByteView attr = record.SubClamped(p, length);
        if (type == kAttrStandardInformation) {
            if (!found.standardInformation) found.standardInformation = attr;
        } else if (type == kAttrFileName) {
            if (!nameDone) {
                // One too short to hold its namespace byte ends the search empty.
                auto ns = attr.U8(kFileNameNamespace);
                if (!ns) {
                    nameDone = true;
                } else if (NamespaceAccepted(*ns)) {
                    found.fileName = attr;
                    nameDone = true;
                }
            }
        } else if (type == kAttrData) {
            if (!found.data) found.data = attr;
        }
        if (found.standardInformation && nameDone && found.data) break;
        p += length;
        if (p >= size) break;
    }
    return found;
}

TDynamicCharArray FindAttribute(const TDynamicCharArray& record, std::uint32_t type,
                                bool fileNameRule) {
    auto view = FindAttributeView(ByteView(record.data(), record.size()), type, fileNameRule);
    if (!view) return {};
    return TDynamicCharArray(view->data(), view->data() + view->size());
}

}  // namespace qm
