// GZIP files (RFC 1952): one member after another, each a header, a DEFLATE
// stream and a trailer whose CRC-32 and size (mod 2^32) must match what the
// stream decodes to. The file ends after the last member that checks out
// when no further member starts there. The first member's original file name
// names the file, its modification time dates it.
#include <memory>
#include <string>

#include "base/Crc32.h"
#include "deep/carve/CarveReader.h"
#include "deep/carve/CarveText.h"
#include "deep/carve/Carver.h"

namespace qm::deep {
namespace {

constexpr std::uint8_t kHeaderCrc = 0x02, kExtra = 0x04, kName = 0x08, kComment = 0x10,
                       kReserved = 0xE0;
constexpr std::size_t kMaxField = 1024;

struct Header {
    std::uint64_t dataStart = 0;
    std::string name;
    std::uint32_t mtime = 0;
};

bool LooksLikeMember(ByteView head) {
    return head.U8(0) == 0x1F && head.U8(1) == 0x8B && head.U8(2) == 8 &&
           (head.U8(3).value_or(kReserved) & kReserved) == 0;
}

// A zero-terminated field from `at`; false when none ends within kMaxField
// bytes (a longer name or comment is possible, but not worth the search).
bool Terminated(CarveReader& r, std::uint64_t& at, std::string* text) {
    const ByteView v = r.ViewUpTo(at, kMaxField);
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (v.data()[i] != 0) continue;
        if (text) text->assign(reinterpret_cast<const char*>(v.data()), i);
        at += i + 1;
        return true;
    }
    return false;
}

bool ParseHeader(CarveReader& r, std::uint64_t at, Header& h) {
    const auto v = r.View(at, 10);
    if (!v || !LooksLikeMember(*v)) return false;
    const std::uint8_t flags = *v->U8(3);
    h.mtime = *v->U32(4);
    std::uint64_t p = at + 10;
    if (flags & kExtra) {
        const auto x = r.View(p, 2);
        if (!x) return false;
        p += 2u + *x->U16(0);
    }
    if ((flags & kName) && !Terminated(r, p, &h.name)) return false;
    if ((flags & kComment) && !Terminated(r, p, nullptr)) return false;
    if (flags & kHeaderCrc) {
        const auto stored = r.View(p, 2);
        if (!stored) return false;
        const std::uint16_t want = *stored->U16(0);
        const auto crc = r.Crc(at, p - at);
        if (!crc || (*crc & 0xFFFF) != want) return false;
        p += 2;
    }
    h.dataStart = p;
    return p <= r.Limit();
}

class GzipCarver final : public Carver {
public:
    std::string_view Name() const override { return "gzip"; }
    bool Starts(ByteView head) const override {
        // Compression method 8, no reserved flag, and XFL 0, 2 or 4.
        const std::uint8_t xfl = head.U8(8).value_or(1);
        return LooksLikeMember(head) && (xfl == 0 || xfl == 2 || xfl == 4);
    }
    CarveResult Carve(CarveInput& input) const override;
};

CarveResult GzipCarver::Carve(CarveInput& input) const {
    CarveReader r(input);
    std::unique_ptr<Inflater> inflater;  // made when a member's header checks out
    CarveResult res;
    res.type = "gz";
    std::uint64_t at = 0;
    Header h;
    for (bool first = true; ParseHeader(r, at, h); first = false) {
        if (first) {
            res.name = FileNameFrom(Latin1ToUtf8(h.name));
            if (h.mtime) res.time = FiletimeFromUnix(h.mtime);
        }
        InputSource src(input, h.dataStart, r.Limit());
        const std::uint64_t room = r.Limit() - h.dataStart;
        if (!inflater) inflater = std::make_unique<Inflater>();
        const InflateResult d = inflater->Run(src, room * 1032);
        const std::uint64_t end = h.dataStart + d.consumed;
        const auto trailer = r.View(end, 8);
        if (d.status != InflateStatus::Done || !trailer || *trailer->U32(0) != d.crc ||
            *trailer->U32(4) != static_cast<std::uint32_t>(d.produced)) {
            res.validation = Validation::Partial;
            res.length = first ? h.dataStart : at;
            res.failedAt = trailer && d.status == InflateStatus::Done ? end + 8 : end;
            return res;
        }
        at = end + 8;
        res.validation = Validation::Whole;
        res.length = at;
    }
    return res;
}

}  // namespace

const Carver& GzipFormat() {
    static const GzipCarver carver;
    return carver;
}

}  // namespace qm::deep
