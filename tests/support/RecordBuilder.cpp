#include "tests/support/RecordBuilder.h"

#include <algorithm>
#include <stdexcept>

namespace qm::test {
namespace {

// Record header.
constexpr std::size_t kUsaOffsetField = 4;
constexpr std::size_t kUsaCountField = 6;
constexpr std::size_t kLsnField = 8;
constexpr std::size_t kSequenceField = 16;
constexpr std::size_t kLinkCountField = 18;
constexpr std::size_t kFirstAttributeField = 20;
constexpr std::size_t kFlagsField = 22;
constexpr std::size_t kBytesInUseField = 24;
constexpr std::size_t kAllocatedField = 28;
constexpr std::size_t kBaseRefField = 32;
constexpr std::size_t kNextAttrIdField = 40;
constexpr std::size_t kRecordNumberField = 44;
constexpr std::size_t kDefaultUsaOffset = 48;

// Attribute header.
constexpr std::size_t kAttrType = 0;
constexpr std::size_t kAttrLength = 4;
constexpr std::size_t kAttrNonResident = 8;
constexpr std::size_t kAttrNameLength = 9;
constexpr std::size_t kAttrNameOffset = 10;
constexpr std::size_t kAttrFlags = 12;
constexpr std::size_t kAttrId = 14;
constexpr std::size_t kResValueLength = 16;
constexpr std::size_t kResValueOffset = 20;
constexpr std::size_t kResIndexed = 22;
constexpr std::size_t kResHeaderSize = 24;
constexpr std::size_t kNrStartVcn = 16;
constexpr std::size_t kNrLastVcn = 24;
constexpr std::size_t kNrRunListOffset = 32;
constexpr std::size_t kNrCompressionUnit = 34;
constexpr std::size_t kNrAllocatedSize = 40;
constexpr std::size_t kNrDataSize = 48;
constexpr std::size_t kNrInitializedSize = 56;
constexpr std::size_t kNrHeaderSize = 64;

constexpr std::uint32_t kEndMarker = 0xFFFFFFFF;

std::size_t Align8(std::size_t n) {
    return (n + 7) & ~std::size_t{7};
}

Bytes AttributeHeader(std::uint32_t type, std::size_t headerSize, std::u16string_view name,
                      std::size_t& nameEnd) {
    Bytes a(headerSize, 0);
    PutLe(a, kAttrType, type, 4);
    PutLe(a, kAttrNameLength, name.size(), 1);
    PutLe(a, kAttrNameOffset, name.empty() ? 0 : headerSize, 2);
    Bytes utf16 = Utf16Le(name);
    a.insert(a.end(), utf16.begin(), utf16.end());
    nameEnd = a.size();
    return a;
}

}  // namespace

void PutLe(Bytes& buf, std::size_t offset, std::uint64_t value, unsigned width) {
    if (offset > buf.size() || width > buf.size() - offset) {
        throw std::out_of_range("PutLe outside the buffer");
    }
    for (unsigned i = 0; i < width; ++i) {
        buf[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint64_t GetLe(std::span<const std::uint8_t> buf, std::size_t offset, unsigned width) {
    if (offset > buf.size() || width > buf.size() - offset) {
        throw std::out_of_range("GetLe outside the buffer");
    }
    std::uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i) v |= std::uint64_t{buf[offset + i]} << (8 * i);
    return v;
}

Bytes Utf16Le(std::u16string_view text) {
    Bytes out;
    out.reserve(text.size() * 2);
    for (char16_t c : text) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return out;
}

Bytes BytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

// ---- RunListBuilder -------------------------------------------------------------

unsigned RunListBuilder::SignedWidth(std::int64_t value) {
    for (unsigned w = 1; w < 8; ++w) {
        const std::int64_t lo = -(std::int64_t{1} << (8 * w - 1));
        const std::int64_t hi = (std::int64_t{1} << (8 * w - 1)) - 1;
        if (value >= lo && value <= hi) return w;
    }
    return 8;
}

RunListBuilder& RunListBuilder::Fields(std::uint64_t length, unsigned lengthWidth,
                                       std::uint64_t offsetField, unsigned offsetWidth) {
    if (lengthWidth > 15 || offsetWidth > 15) throw std::invalid_argument("field width");
    bytes_.push_back(static_cast<std::uint8_t>(offsetWidth << 4 | lengthWidth));
    for (unsigned i = 0; i < lengthWidth; ++i) {
        bytes_.push_back(i < 8 ? static_cast<std::uint8_t>(length >> (8 * i)) : 0);
    }
    for (unsigned i = 0; i < offsetWidth; ++i) {
        bytes_.push_back(i < 8 ? static_cast<std::uint8_t>(offsetField >> (8 * i)) : 0);
    }
    if (offsetWidth > 0 && offsetWidth <= 8) {
        std::uint64_t v = offsetWidth == 8
                              ? offsetField
                              : offsetField & ((std::uint64_t{1} << (8 * offsetWidth)) - 1);
        if (v != 0) {
            if (offsetWidth < 8 && (v >> (8 * offsetWidth - 1)) & 1) {
                v |= ~std::uint64_t{0} << (8 * offsetWidth);
            }
            lcn_ += static_cast<std::int64_t>(v);
        }
    }
    return *this;
}

RunListBuilder& RunListBuilder::Run(std::uint64_t length, std::uint64_t lcn) {
    const std::int64_t delta = static_cast<std::int64_t>(lcn) - lcn_;
    if (delta == 0) {
        // A zero offset would read as sparse; no real list repeats a start cluster.
        throw std::invalid_argument("run starts where the previous one did");
    }
    const unsigned lw = SignedWidth(static_cast<std::int64_t>(length));
    const unsigned ow = SignedWidth(delta);
    return Fields(length, lw, static_cast<std::uint64_t>(delta), ow);
}

RunListBuilder& RunListBuilder::Sparse(std::uint64_t length) {
    return Fields(length, SignedWidth(static_cast<std::int64_t>(length)), 0, 0);
}

RunListBuilder& RunListBuilder::Raw(std::span<const std::uint8_t> bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

RunListBuilder& RunListBuilder::Raw(std::initializer_list<std::uint8_t> bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

Bytes RunListBuilder::Build(bool terminate) const {
    Bytes out = bytes_;
    if (terminate) out.push_back(0);
    return out;
}

// ---- RecordBuilder ----------------------------------------------------------------

RecordBuilder::RecordBuilder(std::uint32_t recordSize, std::uint32_t bytesPerSector)
    : recordSize_(recordSize), bytesPerSector_(bytesPerSector) {}

RecordBuilder& RecordBuilder::Flags(std::uint16_t flags) {
    flags_ = flags;
    return *this;
}
RecordBuilder& RecordBuilder::RecordNumber(std::uint32_t number) {
    recordNumber_ = number;
    return *this;
}
RecordBuilder& RecordBuilder::SequenceNumber(std::uint16_t seq) {
    sequence_ = seq;
    return *this;
}
RecordBuilder& RecordBuilder::LinkCount(std::uint16_t count) {
    linkCount_ = count;
    return *this;
}
RecordBuilder& RecordBuilder::BaseReference(std::uint64_t ref) {
    baseRef_ = ref;
    return *this;
}
RecordBuilder& RecordBuilder::Lsn(std::uint64_t lsn) {
    lsn_ = lsn;
    return *this;
}
RecordBuilder& RecordBuilder::UpdateSequenceNumber(std::uint16_t usn) {
    usn_ = usn;
    return *this;
}
RecordBuilder& RecordBuilder::Signature(std::string_view fourBytes) {
    signature_ = std::string(fourBytes.substr(0, 4));
    signature_.resize(4, '\0');
    return *this;
}

RecordBuilder& RecordBuilder::Add(Bytes bytes, bool raw) {
    if (!raw) PutLe(bytes, kAttrId, nextId_++, 2);
    attributes_.push_back(Attribute{std::move(bytes), std::nullopt, raw});
    return *this;
}

RecordBuilder::Attribute& RecordBuilder::Last() {
    if (attributes_.empty()) throw std::logic_error("no attribute added yet");
    return attributes_.back();
}

RecordBuilder& RecordBuilder::ResidentAttribute(std::uint32_t type,
                                                std::span<const std::uint8_t> value,
                                                std::u16string_view name, std::uint16_t flags) {
    std::size_t nameEnd = 0;
    Bytes a = AttributeHeader(type, kResHeaderSize, name, nameEnd);
    const std::size_t valueOffset = Align8(nameEnd);
    a.resize(valueOffset, 0);
    a.insert(a.end(), value.begin(), value.end());
    a.resize(Align8(a.size()), 0);
    PutLe(a, kAttrLength, a.size(), 4);
    PutLe(a, kAttrNonResident, 0, 1);
    PutLe(a, kAttrFlags, flags, 2);
    PutLe(a, kResValueLength, value.size(), 4);
    PutLe(a, kResValueOffset, valueOffset, 2);
    PutLe(a, kResIndexed, type == 0x30 ? 1 : 0, 1);
    return Add(std::move(a));
}

RecordBuilder& RecordBuilder::NonResidentAttribute(std::uint32_t type, const NonResidentSpec& s) {
    std::size_t nameEnd = 0;
    Bytes a = AttributeHeader(type, kNrHeaderSize, s.name, nameEnd);
    const std::size_t runListOffset = Align8(nameEnd);
    a.resize(runListOffset, 0);
    a.insert(a.end(), s.runList.begin(), s.runList.end());
    a.resize(Align8(a.size()), 0);
    PutLe(a, kAttrLength, a.size(), 4);
    PutLe(a, kAttrNonResident, 1, 1);
    PutLe(a, kAttrFlags, s.flags, 2);
    PutLe(a, kNrStartVcn, s.startVcn, 8);
    PutLe(a, kNrLastVcn, s.lastVcn, 8);
    PutLe(a, kNrRunListOffset, runListOffset, 2);
    PutLe(a, kNrCompressionUnit, s.compressionUnit, 2);
    PutLe(a, kNrAllocatedSize, s.allocatedSize.value_or((s.dataSize + 4095) & ~std::uint64_t{4095}),
          8);
    PutLe(a, kNrDataSize, s.dataSize, 8);
    PutLe(a, kNrInitializedSize, s.initializedSize, 8);
    return Add(std::move(a));
}

RecordBuilder& RecordBuilder::StandardInformation(std::uint64_t created, std::uint64_t modified) {
    Bytes v(72, 0);
    PutLe(v, 0, created, 8);
    PutLe(v, 8, modified, 8);
    PutLe(v, 16, modified, 8);  // MFT change time
    PutLe(v, 24, modified, 8);  // access time
    PutLe(v, 32, 0x20, 4);      // archive
    return ResidentAttribute(0x10, v);
}

RecordBuilder& RecordBuilder::FileName(std::u16string_view name, std::uint8_t nameSpace,
                                       std::uint64_t parentRef, std::uint64_t dataSize) {
    if (name.size() > 255) throw std::invalid_argument("file name longer than 255 units");
    Bytes v(66, 0);
    PutLe(v, 0, parentRef, 8);
    for (int i = 0; i < 4; ++i) PutLe(v, 8 + 8 * i, fnTimes_[i], 8);
    PutLe(v, 40, (dataSize + 4095) & ~std::uint64_t{4095}, 8);
    PutLe(v, 48, dataSize, 8);
    PutLe(v, 56, 0x20, 4);
    PutLe(v, 64, name.size(), 1);
    PutLe(v, 65, nameSpace, 1);
    Bytes utf16 = Utf16Le(name);
    v.insert(v.end(), utf16.begin(), utf16.end());
    return ResidentAttribute(0x30, v);
}

RecordBuilder& RecordBuilder::FileNameTimes(std::uint64_t created, std::uint64_t modified,
                                            std::uint64_t mftChanged, std::uint64_t accessed) {
    fnTimes_[0] = created;
    fnTimes_[1] = modified;
    fnTimes_[2] = mftChanged;
    fnTimes_[3] = accessed;
    return *this;
}

RecordBuilder& RecordBuilder::ResidentData(std::span<const std::uint8_t> value,
                                           std::u16string_view name) {
    return ResidentAttribute(0x80, value, name);
}

RecordBuilder& RecordBuilder::NonResidentData(Bytes runList, std::uint64_t dataSize,
                                              std::uint64_t initializedSize, std::uint64_t startVcn,
                                              std::uint64_t lastVcn) {
    NonResidentSpec s;
    s.runList = std::move(runList);
    s.dataSize = dataSize;
    s.initializedSize = initializedSize;
    s.startVcn = startVcn;
    s.lastVcn = lastVcn;
    return NonResidentAttribute(0x80, s);
}

RecordBuilder& RecordBuilder::VolumeName(std::u16string_view label) {
    return ResidentAttribute(0x60, Utf16Le(label));
}

RecordBuilder& RecordBuilder::RawAttribute(std::uint32_t type, std::span<const std::uint8_t> body) {
    Bytes a(8, 0);
    a.insert(a.end(), body.begin(), body.end());
    a.resize(Align8(a.size()), 0);
    PutLe(a, kAttrType, type, 4);
    PutLe(a, kAttrLength, a.size(), 4);
    return Add(std::move(a), true);
}

RecordBuilder& RecordBuilder::RawBytes(std::span<const std::uint8_t> bytes) {
    return Add(Bytes(bytes.begin(), bytes.end()), true);
}

RecordBuilder& RecordBuilder::End() {
    Bytes marker(8, 0);
    PutLe(marker, 0, kEndMarker, 4);
    ended_ = true;
    return Add(std::move(marker), true);
}

RecordBuilder& RecordBuilder::NoEndMarker() {
    noEnd_ = true;
    return *this;
}

RecordBuilder& RecordBuilder::UsaOffset(std::uint16_t offset) {
    usaOffset_ = offset;
    return *this;
}
RecordBuilder& RecordBuilder::UsaCount(std::uint16_t count) {
    usaCount_ = count;
    return *this;
}
RecordBuilder& RecordBuilder::MismatchSector(std::uint32_t k, std::uint16_t mask) {
    mismatches_.emplace_back(k, mask);
    return *this;
}
RecordBuilder& RecordBuilder::FirstAttributeOffset(std::uint16_t offset) {
    firstAttribute_ = offset;
    return *this;
}
RecordBuilder& RecordBuilder::LengthOverride(std::uint32_t length) {
    Last().lengthOverride = length;
    return *this;
}
RecordBuilder& RecordBuilder::PatchAttribute(std::size_t offset,
                                             std::span<const std::uint8_t> bytes) {
    Bytes& a = Last().bytes;
    if (offset + bytes.size() > a.size()) a.resize(offset + bytes.size(), 0);
    std::copy(bytes.begin(), bytes.end(), a.begin() + static_cast<std::ptrdiff_t>(offset));
    return *this;
}
RecordBuilder& RecordBuilder::PatchAttributeLe(std::size_t offset, std::uint64_t value,
                                               unsigned width) {
    Bytes b(width, 0);
    PutLe(b, 0, value, width);
    return PatchAttribute(offset, b);
}
RecordBuilder& RecordBuilder::Patch(std::size_t offset, std::span<const std::uint8_t> bytes) {
    patches_.emplace_back(offset, Bytes(bytes.begin(), bytes.end()));
    return *this;
}
RecordBuilder& RecordBuilder::PatchLe(std::size_t offset, std::uint64_t value, unsigned width) {
    Bytes b(width, 0);
    PutLe(b, 0, value, width);
    return Patch(offset, b);
}

std::uint16_t RecordBuilder::DefaultUsaCount() const {
    if (bytesPerSector_ == 0) return 1;
    return static_cast<std::uint16_t>(recordSize_ / bytesPerSector_ + 1);
}

std::uint16_t RecordBuilder::DefaultFirstAttribute() const {
    return static_cast<std::uint16_t>(Align8(kDefaultUsaOffset + 2u * DefaultUsaCount()));
}

std::size_t RecordBuilder::NextAttributeOffset() const {
    std::size_t at = firstAttribute_.value_or(DefaultFirstAttribute());
    for (const Attribute& a : attributes_) at += a.bytes.size();
    return at;
}

Bytes RecordBuilder::Build(bool applyUpdateSequence) const {
    if (recordSize_ < kRecordNumberField + 4) throw std::length_error("record too small");
    Bytes r(recordSize_, 0);
    std::copy(signature_.begin(), signature_.end(), r.begin());
    const std::uint16_t usaOffset = usaOffset_.value_or(kDefaultUsaOffset);
    const std::uint16_t usaCount = usaCount_.value_or(DefaultUsaCount());
    PutLe(r, kUsaOffsetField, usaOffset, 2);
    PutLe(r, kUsaCountField, usaCount, 2);
    PutLe(r, kLsnField, lsn_, 8);
    PutLe(r, kSequenceField, sequence_, 2);
    PutLe(r, kLinkCountField, linkCount_, 2);
    const std::size_t first = firstAttribute_.value_or(DefaultFirstAttribute());
    PutLe(r, kFirstAttributeField, first, 2);
    PutLe(r, kFlagsField, flags_, 2);
    PutLe(r, kAllocatedField, recordSize_, 4);
    PutLe(r, kBaseRefField, baseRef_, 8);
    PutLe(r, kNextAttrIdField, nextId_, 2);
    PutLe(r, kRecordNumberField, recordNumber_, 4);

    // Attributes go where the header says, unless an overridden offset points
    // into the header and its array or past the record: then only the header
    // field carries the bad value and the attributes sit at the usual place.
    const std::size_t headerEnd = std::max<std::size_t>(48, usaOffset + 2u * usaCount);
    std::size_t at = first >= headerEnd && first <= recordSize_ ? first : DefaultFirstAttribute();
    auto place = [&](const Bytes& bytes) {
        if (at > r.size() || bytes.size() > r.size() - at) {
            throw std::length_error("attributes do not fit in the record");
        }
        std::copy(bytes.begin(), bytes.end(), r.begin() + static_cast<std::ptrdiff_t>(at));
        at += bytes.size();
    };
    for (const Attribute& a : attributes_) {
        Bytes bytes = a.bytes;
        if (a.lengthOverride) PutLe(bytes, kAttrLength, *a.lengthOverride, 4);
        place(bytes);
    }
    if (!ended_ && !noEnd_) {
        Bytes marker(8, 0);
        PutLe(marker, 0, kEndMarker, 4);
        place(marker);
    }
    PutLe(r, kBytesInUseField, at, 4);

    // The update sequence array: the number first, the saved sector ends after it.
    if (std::size_t{usaOffset} + 2 <= r.size()) PutLe(r, usaOffset, usn_, 2);
    for (const auto& [offset, bytes] : patches_) {
        if (offset + bytes.size() > r.size()) throw std::out_of_range("patch outside the record");
        std::copy(bytes.begin(), bytes.end(), r.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    if (applyUpdateSequence) {
        ProtectRecord(r, bytesPerSector_);
        for (const auto& [k, mask] : mismatches_) {
            const std::size_t end = std::size_t{k} * bytesPerSector_;
            if (k == 0 || end > r.size() || end < 2) throw std::out_of_range("no such sector");
            PutLe(r, end - 2, GetLe(r, end - 2, 2) ^ mask, 2);
        }
    }
    return r;
}

void ProtectRecord(Bytes& record, std::uint32_t bytesPerSector) {
    if (record.size() < 8 || bytesPerSector < 2) return;
    const std::size_t usaOffset = GetLe(record, kUsaOffsetField, 2);
    const std::size_t usaCount = GetLe(record, kUsaCountField, 2);
    if (usaOffset + 2 > record.size()) return;
    const std::uint64_t usn = GetLe(record, usaOffset, 2);
    for (std::size_t i = 1; i < usaCount; ++i) {
        const std::size_t end = i * bytesPerSector;
        const std::size_t slot = usaOffset + 2 * i;
        if (end > record.size() || slot + 2 > record.size()) break;
        PutLe(record, slot, GetLe(record, end - 2, 2), 2);
        PutLe(record, end - 2, usn, 2);
    }
}

}  // namespace qm::test
