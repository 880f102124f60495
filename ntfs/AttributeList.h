// $ATTRIBUTE_LIST: where the attributes of a file that outgrew its base record
// lie (which record, from which VCN on).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/ByteView.h"
#include "base/Result.h"

namespace qm {

// A file reference: the record number in the low 48 bits, the record's
// sequence number in the high 16.
constexpr std::uint64_t kRecordNumberMask = (std::uint64_t{1} << 48) - 1;
constexpr std::uint64_t ReferenceRecord(std::uint64_t reference) {
    return reference & kRecordNumberMask;
}
constexpr std::uint16_t ReferenceSequence(std::uint64_t reference) {
    return static_cast<std::uint16_t>(reference >> 48);
}

struct AttributeListEntry {
    std::uint32_t type = 0;
    std::uint64_t startVcn = 0;   // first VCN the attribute piece maps (0 when resident)
    std::uint64_t reference = 0;  // the record that holds the piece
    std::uint16_t attributeId = 0;
    std::u16string name;
};

// Entry fields.
constexpr std::size_t kAlType = 0;
constexpr std::size_t kAlLength = 4;
constexpr std::size_t kAlNameLength = 6;
constexpr std::size_t kAlNameOffset = 7;
constexpr std::size_t kAlStartVcn = 8;
constexpr std::size_t kAlReference = 16;
constexpr std::size_t kAlAttributeId = 24;
constexpr std::size_t kAlMinEntry = 26;

// Parses the value of an $ATTRIBUTE_LIST attribute, entry by entry. Bytes too
// few for another entry at the end are padding. Fails, with the byte position
// in `list`, on an entry whose length is below the minimum or leaves the list,
// a name that leaves its entry, or more than `maxEntries` entries.
ErrorOr<std::vector<AttributeListEntry>> ParseAttributeList(ByteView list,
                                                            std::size_t maxEntries = 1u << 16);

}  // namespace qm
