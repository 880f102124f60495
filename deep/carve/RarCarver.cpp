// RAR archives, versions 4 and 5. Both are a signature and a chain of
// headers, each with its own CRC and the size of the data after it, up to an
// end-of-archive header, where the file ends. A stored member's data is
// checked against its CRC-32 too (compressed data is not decoded). A header
// whose CRC fails, or a chain that runs out before the end header, makes the
// archive partial up to the last header that checked out.
#include <string>

#include "base/Crc32.h"
#include "deep/carve/CarveReader.h"
#include "deep/carve/Carver.h"

namespace qm::deep {
namespace {

constexpr std::string_view kSig4("Rar!\x1A\x07\x00", 7);
constexpr std::string_view kSig5("Rar!\x1A\x07\x01\x00", 8);
constexpr std::size_t kMaxHeaders = 1u << 20;

bool Begins(ByteView v, std::string_view sig) {
    return v.size() >= sig.size() &&
           std::string_view(reinterpret_cast<const char*>(v.data()), sig.size()) == sig;
}

// What one header said: where the next starts, and whether it ended the archive.
struct Step {
    bool ok = false, end = false;
    std::uint64_t next = 0;
    std::uint64_t failedAt = 0;  // a member's data whose CRC failed ends here
};

Step StoredCrc(CarveReader& r, std::uint64_t data, std::uint64_t size, std::uint32_t want,
               Step step) {
    const auto crc = r.Crc(data, size);
    if (!crc || *crc != want) {
        step.ok = false;
        step.failedAt = std::min(r.Limit(), data + size);
    }
    return step;
}

// RAR 4: CRC16 (the low half of a CRC-32) over the header after its CRC.
Step Block4(CarveReader& r, std::uint64_t at) {
    Step step;
    const auto v = r.View(at, 7);
    if (!v) return step;
    const std::uint8_t type = *v->U8(2);
    const std::uint16_t flags = *v->U16(3), size = *v->U16(5);
    const auto h = size >= 7 ? r.View(at, size) : std::nullopt;
    if (type < 0x72 || type > 0x7B || !h) return step;
    const std::uint32_t crc = Crc32(0, h->SubClamped(2, size - 2u));
    if ((crc & 0xFFFF) != *v->U16(0)) return step;
    std::uint64_t data = 0;
    if (type == 0x74 || type == 0x7A || (flags & 0x8000)) data = h->U32(7).value_or(0);
    if ((type == 0x74 || type == 0x7A) && (flags & 0x0100))
        data |= std::uint64_t{h->U32(32).value_or(0)} << 32;
    if (type == 0x73 && (flags & 0x0080)) return step;  // encrypted headers: no way on
    const auto next = CheckedAdd(at + size, data);
    if (!next) return step;
    step.ok = true;
    step.end = type == 0x7B;
    step.next = *next;
    const bool stored = type == 0x74 && h->U8(25) == 0x30 && !(flags & 0x0007) && size >= 32;
    if (stored) return StoredCrc(r, at + size, data, *h->U32(16), step);
    return step;
}

std::optional<std::uint64_t> Vint(ByteView v, std::uint64_t& at) {
    std::uint64_t value = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
        const auto b = v.U8(at++);
        if (!b) return std::nullopt;
        value |= std::uint64_t{*b & 0x7Fu} << shift;
        if (!(*b & 0x80)) return value;
    }
    return std::nullopt;
}

// Whether a RAR 5 file header's extra area holds an encryption record.
bool Encrypted5(ByteView h, std::uint64_t extraAt) {
    for (std::uint64_t at = extraAt; at < h.size();) {
        const auto size = Vint(h, at);
        std::uint64_t p = at;
        const auto type = Vint(h, p);
        if (!size || !type) return false;
        if (*type == 1) return true;
        at += *size;
    }
    return false;
}

// RAR 5: CRC-32 over the header from its size field on.
Step Block5(CarveReader& r, std::uint64_t at) {
    Step step;
    const auto v = r.View(at, std::min<std::uint64_t>(16, r.Limit() - std::min(r.Limit(), at)));
    std::uint64_t p = 4;
    const auto size = v ? Vint(*v, p) : std::nullopt;
    if (!size || *size == 0 || *size > (2u << 20) - 3 || p + *size > CarveReader::kMaxView)
        return step;
    const std::uint64_t headerLen = p + *size;
    const auto h = r.View(at, static_cast<std::size_t>(headerLen));
    if (!h || Crc32(0, h->SubClamped(4, headerLen - 4)) != *h->U32(0)) return step;
    std::uint64_t q = p;
    const auto type = Vint(*h, q), flags = Vint(*h, q);
    std::uint64_t extra = 0, data = 0;
    if (!type || !flags || *type < 1 || *type > 5) return step;
    if (*flags & 1) extra = Vint(*h, q).value_or(~0ull);
    if (*flags & 2) data = Vint(*h, q).value_or(~0ull);
    if (*type == 4 || extra > headerLen) return step;  // encrypted headers follow
    const auto next = CheckedAdd(at + headerLen, data);
    if (!next) return step;
    step = {true, *type == 5, *next, 0};
    if (*type != 2 || (*flags & 0x18)) return step;  // not a file, or split
    const auto fileFlags = Vint(*h, q), unpacked = Vint(*h, q);
    if (!fileFlags || !unpacked || !Vint(*h, q)) return step;
    if (*fileFlags & 2) q += 4;
    std::optional<std::uint32_t> crc;
    if (*fileFlags & 4) {
        crc = h->U32(q);
        q += 4;
    }
    const auto comp = Vint(*h, q);
    const bool stored = comp && ((*comp >> 7) & 7) == 0 && !(*fileFlags & 1);
    if (!stored || !crc || Encrypted5(*h, headerLen - extra) || *unpacked != data) return step;
    return StoredCrc(r, at + headerLen, data, *crc, step);
}

CarveResult Walk(CarveReader& r, bool v5) {
    CarveResult res;
    res.type = "rar";
    std::uint64_t at = v5 ? kSig5.size() : kSig4.size();
    res.validation = Validation::Partial;
    res.length = at;
    for (std::size_t n = 0; n < kMaxHeaders; ++n) {
        const Step s = v5 ? Block5(r, at) : Block4(r, at);
        if (!s.ok) {
            res.failedAt = s.failedAt;
            return n == 0 ? CarveResult{} : res;
        }
        at = s.next;
        if (s.end) {
            if (at > r.Limit() || (at > 0 && !r.View(at - 1, 1))) return res;
            res.validation = Validation::Whole;
            res.length = at;
            return res;
        }
        res.length = at;
    }
    return res;
}

class RarCarver final : public Carver {
public:
    std::string_view Name() const override { return "rar"; }
    bool Starts(ByteView head) const override { return Begins(head, kSig4) || Begins(head, kSig5); }
    CarveResult Carve(CarveInput& input) const override {
        CarveReader r(input);
        const auto head = r.View(0, 8);
        if (!head) return {};
        if (Begins(*head, kSig5)) return Walk(r, true);
        if (Begins(*head, kSig4)) return Walk(r, false);
        return {};
    }
};

}  // namespace

const Carver& RarFormat() {
    static const RarCarver carver;
    return carver;
}

}  // namespace qm::deep
