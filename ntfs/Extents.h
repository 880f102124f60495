// The extents of one $DATA attribute: the ordered (VCN, cluster or hole,
// length) list with the attribute's sizes and flags, gathered from the base
// record and, through its $ATTRIBUTE_LIST, from its extension records.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ntfs/uNTFS.h"

namespace qm {

// Attribute header flags.
constexpr std::uint16_t kAttrFlagCompressed = 0x0001;
constexpr std::uint16_t kAttrFlagEncrypted = 0x4000;
constexpr std::uint16_t kAttrFlagSparse = 0x8000;
// $STANDARD_INFORMATION file attribute: the content is EFS-encrypted.
constexpr std::uint32_t kFileAttributeEncrypted = 0x4000;
constexpr std::size_t kStdInfoFileAttributes = 32;

// More header fields.
constexpr std::size_t kAttrNameLength = 9;
constexpr std::size_t kAttrNameOffset = 10;
constexpr std::size_t kNrCompressionUnit = 34;
constexpr std::size_t kNrAllocatedSize = 40;
// Record header: the sequence number and, in extension records, the base reference.
constexpr std::size_t kRecSequence = 16;
constexpr std::size_t kRecBaseReference = 32;

struct Extent {
    std::uint64_t vcn = 0;     // first cluster of the content it maps
    std::uint64_t length = 0;  // clusters
    bool sparse = false;       // a hole: no clusters on the volume
    std::uint64_t lcn = 0;     // first cluster on the volume, when not sparse
};

struct DataExtents {
    bool resident = false;
    std::vector<std::uint8_t> residentValue;  // resident: the content
    std::uint64_t dataSize = 0;
    std::uint64_t allocatedSize = 0;
    std::uint64_t initializedSize = 0;
    std::uint16_t flags = 0;
    std::uint8_t compressionUnit = 0;  // log2 of the clusters in a unit; 0: not compressed
    // Ordered by VCN, not overlapping. VCNs no extent maps below the data size
    // are clusters no record could supply (see `missing`).
    std::vector<Extent> extents;
    // Why extents are missing, for the command line ("record 31 belongs to
    // another file"); empty when none is.
    std::string missing;
    bool Compressed() const { return (flags & kAttrFlagCompressed) != 0; }
    bool Encrypted() const { return (flags & kAttrFlagEncrypted) != 0; }
};

// Reads MFT record `number` of the volume, fixed up, into `out`; false when it
// cannot be read or fails its fixups.
using RecordReader = std::function<bool(std::uint64_t number, std::vector<std::uint8_t>& out)>;

struct ExtentSource {
    RawVolume* volume = nullptr;  // for a non-resident attribute list
    std::uint32_t clusterSize = 0;
    RecordReader readRecord;  // extension records; none: they are all missing
    // The base record's number, when the caller knows it (else its header's, when it has one).
    std::optional<std::uint64_t> baseNumber;
};

// Gathers the $DATA attribute named `name` (empty: the unnamed one) of
// `baseRecord`. Each extension record an $ATTRIBUTE_LIST names must carry
// the base record as its base and the sequence number the list gives (or the
// next one: freeing a record counts its sequence up); a record that fails,
// or lacks the piece, leaves its VCNs missing. ErrorCode::BadAttribute when
// the record has no such $DATA; other errors when its pieces cannot be
// followed (overlapping pieces, run lists that overflow in bytes).
ErrorOr<DataExtents> GatherDataExtents(ByteView baseRecord, std::u16string_view name,
                                       const ExtentSource& source);

// The name of the attribute `attr` (its header's name field), empty when it has none.
std::u16string AttributeName(ByteView attr);

// True when the record's $STANDARD_INFORMATION marks the file encrypted.
bool RecordIsEncrypted(ByteView record);

}  // namespace qm
