// Fields of an MFT record that the listing reads beyond a row's own: the
// header's sequence number and base reference, a $FILE_NAME's parent, a
// $DATA's flags and name, and the entries of an $ATTRIBUTE_LIST.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ntfs/uNTFS.h"

namespace qm {

constexpr std::uint16_t kRecordInUse = 0x0001;
constexpr std::uint16_t kRecordDirectory = 0x0002;

std::uint16_t RecordSequence(ByteView record);
// The base record's reference of an extension record; 0 in a base record.
std::uint64_t RecordBaseReference(ByteView record);

// The name of a resident $FILE_NAME (whole code units inside the attribute),
// assigned in place, and its parent reference.
void FileNameText(ByteView fileName, std::u16string& name);
std::uint64_t FileNameParent(ByteView fileName);

// The size field of a $DATA attribute as a row shows it.
std::uint64_t DataSize(ByteView data);
// The attribute's own name (a stream's name); defined with the extents (ntfs/Extents.h).
std::u16string AttributeName(ByteView attr);
bool IsResident(ByteView attr);
// The first VCN a non-resident attribute's extent covers (0 when resident).
std::uint64_t StartVcn(ByteView attr);

// Attribute-header flags.
constexpr std::uint16_t kAttrCompressed = 0x0001;
constexpr std::uint16_t kAttrEncrypted = 0x4000;
constexpr std::uint16_t kAttrSparse = 0x8000;
std::uint16_t AttributeFlags(ByteView attr);
// $STANDARD_INFORMATION's file attributes, in the attribute-header flags above.
std::uint16_t StandardInformationFlags(ByteView si);

struct ListEntry {
    std::uint32_t type = 0;
    std::uint64_t startVcn = 0;
    std::uint64_t reference = 0;  // the record holding the attribute
    bool named = false;
};
// The entries of an $ATTRIBUTE_LIST's value, up to the first malformed one.
std::vector<ListEntry> ListEntriesUpToDamage(ByteView value);

}  // namespace qm
