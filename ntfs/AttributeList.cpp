#include "ntfs/AttributeList.h"

namespace qm {

ErrorOr<std::vector<AttributeListEntry>> ParseAttributeList(ByteView list, std::size_t maxEntries) {
    std::vector<AttributeListEntry> out;
    for (std::uint64_t p = 0; list.Has(p, kAlMinEntry);) {
        const std::uint16_t length = *list.U16(p + kAlLength);
        if (length < kAlMinEntry)
            return Error::Mismatch(ErrorCode::BadAttribute, p + kAlLength,
                                   "attribute list entry length (at least)", kAlMinEntry, length);
        if (!list.Has(p, length))
            return Error::At(ErrorCode::BadAttribute, p, "attribute list entry leaves the list");
        if (out.size() >= maxEntries)
            return Error::At(ErrorCode::BadAttribute, p, "too many attribute list entries");
        AttributeListEntry e;
        e.type = *list.U32(p + kAlType);
        e.startVcn = *list.U64(p + kAlStartVcn);
        e.reference = *list.U64(p + kAlReference);
        e.attributeId = *list.U16(p + kAlAttributeId);
        const std::uint64_t nameLength = *list.U8(p + kAlNameLength);
        const std::uint64_t nameOffset = *list.U8(p + kAlNameOffset);
        if (nameLength > 0) {
            if (nameOffset + 2 * nameLength > length)
                return Error::At(ErrorCode::BadAttribute, p + kAlNameOffset,
                                 "attribute list entry name leaves its entry");
            for (std::uint64_t i = 0; i < nameLength; ++i)
                e.name.push_back(static_cast<char16_t>(*list.U16(p + nameOffset + 2 * i)));
        }
        out.push_back(std::move(e));
        p += length;
    }
    return out;
}

}  // namespace qm
