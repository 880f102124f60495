// 7z archives. The 32-byte signature header carries a CRC of its last 20
// bytes, which give where the next header (the archive's directory, at the
// end) lies, its size and its CRC. The file ends with that header; it is
// whole when both CRCs match and the next header begins as one does.
#include <algorithm>

#include "base/Crc32.h"
#include "deep/carve/CarveReader.h"
#include "deep/carve/Carver.h"

namespace qm::deep {
namespace {

constexpr std::uint8_t kSignature[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
constexpr std::uint8_t kHeader = 0x01, kEncodedHeader = 0x17;

bool Signature(ByteView head) {
    return head.Has(0, 8) && std::equal(kSignature, kSignature + 6, head.data()) &&
           head.U8(6) == 0 && head.U8(7).value_or(0xFF) <= 4;
}

class SevenZipCarver final : public Carver {
public:
    std::string_view Name() const override { return "7z"; }
    bool Starts(ByteView head) const override { return Signature(head); }
    CarveResult Carve(CarveInput& input) const override;
};

CarveResult SevenZipCarver::Carve(CarveInput& input) const {
    CarveReader r(input);
    const auto v = r.View(0, 32);
    if (!v || !Signature(*v) || Crc32(0, v->SubClamped(12, 20)) != *v->U32(8)) return {};
    const std::uint64_t offset = *v->U64(12), size = *v->U64(20);
    const std::uint32_t crc = *v->U32(28);
    CarveResult res;
    res.type = "7z";
    res.validation = Validation::Partial;
    res.length = 32;
    const auto start = CheckedAdd(32, offset);
    const auto end = start ? CheckedAdd(*start, size) : std::nullopt;
    if (!end) return {};
    if (size == 0) {  // an empty archive
        if (offset != 0 || crc != 0) return {};
        res.validation = Validation::Whole;
        return res;
    }
    res.failedAt = std::min(*end, r.Limit());
    const auto first = r.View(*start, 1);
    if (!first || (*first->U8(0) != kHeader && *first->U8(0) != kEncodedHeader)) return res;
    const auto got = r.Crc(*start, size);
    if (!got || *got != crc) return res;
    res.validation = Validation::Whole;
    res.length = *end;
    res.failedAt = 0;
    return res;
}

}  // namespace

const Carver& SevenZipFormat() {
    static const SevenZipCarver carver;
    return carver;
}

}  // namespace qm::deep
