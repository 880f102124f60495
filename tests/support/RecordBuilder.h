// Crafts MFT file records and run lists byte by byte, including the malformed
// ones that no real NTFS writer produces. Fields are written at their on-disk
// offsets in little-endian order; nothing is laid over the buffer as a struct.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm::test {

using Bytes = std::vector<std::uint8_t>;

void PutLe(Bytes& buf, std::size_t offset, std::uint64_t value, unsigned width);
std::uint64_t GetLe(std::span<const std::uint8_t> buf, std::size_t offset, unsigned width);
Bytes Utf16Le(std::u16string_view text);
Bytes BytesOf(std::string_view text);

// The MFT reference of the root directory (record 5, sequence 5).
constexpr std::uint64_t kRootReference = 5 | (std::uint64_t{5} << 48);

// Encodes a run list. Run() takes absolute cluster numbers and writes each
// offset relative to the last non-sparse run, in the narrowest signed width.
class RunListBuilder {
public:
    RunListBuilder& Run(std::uint64_t length, std::uint64_t lcn);
    RunListBuilder& Sparse(std::uint64_t length);
    // A run with explicit field widths: the low `lengthWidth` bytes of `length`
    // and the low `offsetWidth` bytes of `offsetField`, as stored (the caller
    // picks sign and width). Tracking of the current LCN follows the stored value.
    RunListBuilder& Fields(std::uint64_t length, unsigned lengthWidth, std::uint64_t offsetField,
                           unsigned offsetWidth);
    // Bytes appended verbatim (a truncated field, a bad header).
    RunListBuilder& Raw(std::span<const std::uint8_t> bytes);
    RunListBuilder& Raw(std::initializer_list<std::uint8_t> bytes);

    // The list, with the 0 terminator unless `terminate` is false.
    Bytes Build(bool terminate = true) const;

    // Narrowest two's-complement width (1..8) that holds `value`.
    static unsigned SignedWidth(std::int64_t value);

private:
    Bytes bytes_;
    std::int64_t lcn_ = 0;
};

struct NonResidentSpec {
    Bytes runList;
    std::uint64_t dataSize = 0;
    std::uint64_t initializedSize = 0;
    std::optional<std::uint64_t> allocatedSize;  // default: dataSize rounded up to 4096
    std::uint64_t startVcn = 0;
    std::uint64_t lastVcn = 0;
    std::uint16_t flags = 0;
    std::uint16_t compressionUnit = 0;
    std::u16string name;
};

class RecordBuilder {
public:
    explicit RecordBuilder(std::uint32_t recordSize = 1024, std::uint32_t bytesPerSector = 512);

    // ---- Header -------------------------------------------------------------
    RecordBuilder& Flags(std::uint16_t flags);
    RecordBuilder& RecordNumber(std::uint32_t number);
    RecordBuilder& SequenceNumber(std::uint16_t seq);
    RecordBuilder& LinkCount(std::uint16_t count);
    RecordBuilder& BaseReference(std::uint64_t ref);
    RecordBuilder& Lsn(std::uint64_t lsn);
    RecordBuilder& UpdateSequenceNumber(std::uint16_t usn);
    RecordBuilder& Signature(std::string_view fourBytes);

    // ---- Attributes, in record order -------------------------------------------
    RecordBuilder& StandardInformation(std::uint64_t created, std::uint64_t modified);
    RecordBuilder& FileName(std::u16string_view name, std::uint8_t nameSpace = 1,
                            std::uint64_t parentRef = kRootReference, std::uint64_t dataSize = 0);
    // The four times (FILETIMEs) the $FILE_NAME attributes added after this carry; 0 before.
    RecordBuilder& FileNameTimes(std::uint64_t created, std::uint64_t modified,
                                 std::uint64_t mftChanged, std::uint64_t accessed);
    RecordBuilder& ResidentData(std::span<const std::uint8_t> value,
                                std::u16string_view name = u"");
    RecordBuilder& NonResidentData(Bytes runList, std::uint64_t dataSize,
                                   std::uint64_t initializedSize, std::uint64_t startVcn = 0,
                                   std::uint64_t lastVcn = 0);
    RecordBuilder& VolumeName(std::u16string_view label);
    // Any resident attribute; the value begins after the name, 8-aligned.
    RecordBuilder& ResidentAttribute(std::uint32_t type, std::span<const std::uint8_t> value,
                                     std::u16string_view name = u"", std::uint16_t flags = 0);
    RecordBuilder& NonResidentAttribute(std::uint32_t type, const NonResidentSpec& spec);
    // Type, a length of 8 + body (padded to 8), then `body` as given.
    RecordBuilder& RawAttribute(std::uint32_t type, std::span<const std::uint8_t> body);
    // Bytes placed verbatim where the next attribute would start.
    RecordBuilder& RawBytes(std::span<const std::uint8_t> bytes);
    // The end marker 0xFFFFFFFF. Build() adds one when End() was not called,
    // unless NoEndMarker() asks it not to.
    RecordBuilder& End();
    RecordBuilder& NoEndMarker();

    // ---- Corruption knobs --------------------------------------------------------
    RecordBuilder& UsaOffset(std::uint16_t offset);
    RecordBuilder& UsaCount(std::uint16_t count);
    // After protection, XORs `mask` into the last two bytes of sector k (1-based),
    // so they no longer match the update sequence number (0x00FF: first byte only).
    RecordBuilder& MismatchSector(std::uint32_t k, std::uint16_t mask = 0xFFFF);
    // The first-attribute offset (u16 at 20). Attributes are placed there when it
    // lies between the update sequence array and the record's end; otherwise only
    // the field holds the value and the attributes stay at the usual place.
    RecordBuilder& FirstAttributeOffset(std::uint16_t offset);
    // Overwrites the length field of the attribute added last (the layout keeps
    // the true length, so later attributes stay where they were).
    RecordBuilder& LengthOverride(std::uint32_t length);
    // Overwrites bytes of the attribute added last, at `offset` inside it.
    RecordBuilder& PatchAttribute(std::size_t offset, std::span<const std::uint8_t> bytes);
    RecordBuilder& PatchAttributeLe(std::size_t offset, std::uint64_t value, unsigned width);
    // Overwrites bytes of the record before the update sequence is applied.
    RecordBuilder& Patch(std::size_t offset, std::span<const std::uint8_t> bytes);
    RecordBuilder& PatchLe(std::size_t offset, std::uint64_t value, unsigned width);

    // The record: `recordSize` bytes. With `applyUpdateSequence` each protected
    // sector's last two bytes move into the update sequence array and are
    // replaced by the update sequence number, as on disk. Throws
    // std::length_error when the attributes do not fit.
    Bytes Build(bool applyUpdateSequence = true) const;

    // Where the next attribute will start (for callers that compute offsets).
    std::size_t NextAttributeOffset() const;
    std::uint32_t recordSize() const { return recordSize_; }

private:
    std::uint64_t fnTimes_[4] = {0, 0, 0, 0};
    struct Attribute {
        Bytes bytes;
        std::optional<std::uint32_t> lengthOverride;
        bool raw = false;  // RawBytes: no header, no attribute id
    };
    std::uint16_t DefaultUsaCount() const;
    std::uint16_t DefaultFirstAttribute() const;
    RecordBuilder& Add(Bytes bytes, bool raw = false);
    Attribute& Last();

    std::uint32_t recordSize_;
    std::uint32_t bytesPerSector_;
    std::string signature_ = "FILE";
    std::uint16_t flags_ = 0;  // not in use, not a directory: a deleted file
    std::uint32_t recordNumber_ = 0;
    std::uint16_t sequence_ = 1;
    std::uint16_t linkCount_ = 1;
    std::uint64_t baseRef_ = 0;
    std::uint64_t lsn_ = 0;
    std::uint16_t usn_ = 1;
    std::optional<std::uint16_t> usaOffset_, usaCount_, firstAttribute_;
    std::vector<std::pair<std::uint32_t, std::uint16_t>> mismatches_;
    std::vector<std::pair<std::size_t, Bytes>> patches_;
    std::vector<Attribute> attributes_;
    std::uint16_t nextId_ = 0;
    bool ended_ = false;
    bool noEnd_ = false;
};

// Applies the on-disk update-sequence protection to a record in place: for
// each of the `usaCount - 1` sectors, saves its last two bytes into the array
// at `usaOffset` and writes the sequence number there. Bytes outside the
// record are skipped.
void ProtectRecord(Bytes& record, std::uint32_t bytesPerSector);

}  // namespace qm::test
