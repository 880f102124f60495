// Windows executables and libraries (PE: EXE, DLL, SYS, EFI). The file ends
// after the furthest of: the headers, each section's raw data, the COFF
// symbol table with its string table, and the certificate table (whose
// directory entry gives a file offset). Data appended after that (an
// installer's payload) cannot be told from what follows and is left out.
// When the optional header carries a checksum, the file is whole only if
// the checksum over that length matches.
#include <algorithm>

#include "deep/carve/CarveReader.h"
#include "deep/carve/Carver.h"

namespace qm::deep {
namespace {

constexpr std::uint64_t kMaxHeaderOffset = 1u << 16;
constexpr unsigned kMaxSections = 96;
constexpr unsigned kSecurityDir = 4;

struct Layout {
    std::uint64_t end = 0, headers = 0, checksumAt = 0;
    std::uint32_t checksum = 0;
    std::uint16_t characteristics = 0, subsystem = 0;
};

bool Headers(CarveReader& r, Layout& l, std::uint64_t& sectionTable, unsigned& sections,
             std::uint64_t& dirs, std::uint32_t& dirCount) {
    const auto dos = r.View(0, 64);
    if (!dos || dos->U16(0) != 0x5A4D) return false;
    const std::uint32_t pe = *dos->U32(0x3C);
    if (pe < 64 || pe > kMaxHeaderOffset || pe % 4) return false;
    const auto coff = r.View(pe, 24);
    if (!coff || coff->U32(0) != 0x00004550) return false;
    sections = *coff->U16(6);
    const std::uint16_t optSize = *coff->U16(20);
    l.characteristics = *coff->U16(22);
    const auto opt = r.View(pe + 24, optSize);
    if (sections == 0 || sections > kMaxSections || !opt || optSize < 96) return false;
    const std::uint16_t magic = *opt->U16(0);
    if (magic != 0x10B && magic != 0x20B) return false;
    const std::uint32_t fileAlign = *opt->U32(36), sectionAlign = *opt->U32(32);
    if (fileAlign < 512 || fileAlign > 65536 || (fileAlign & (fileAlign - 1))) {
        if (fileAlign == 0 || fileAlign != sectionAlign) return false;  // small images align alike
    }
    l.headers = *opt->U32(60);
    l.checksumAt = pe + 24 + 64;
    l.checksum = *opt->U32(64);
    l.subsystem = *opt->U16(68);
    const std::uint64_t dirAt = magic == 0x10B ? 92 : 108;
    dirCount = opt->U32(dirAt).value_or(0);
    dirs = pe + 24 + dirAt + 4;
    if (dirCount > 16 || dirAt + 4 + 8ull * dirCount > optSize) return false;
    sectionTable = pe + 24 + optSize;
    return l.headers >= sectionTable + 40ull * sections;
}

// The file's end by its sections, symbols and certificates; false when they
// do not hold together.
bool Extent(CarveReader& r, Layout& l) {
    std::uint64_t table = 0, dirs = 0;
    unsigned sections = 0;
    std::uint32_t dirCount = 0;
    if (!Headers(r, l, table, sections, dirs, dirCount)) return false;
    l.end = l.headers;
    for (unsigned i = 0; i < sections; ++i) {
        const auto s = r.View(table + 40ull * i, 40);
        if (!s) return false;
        const std::uint32_t raw = *s->U32(16), at = *s->U32(20);
        if (raw == 0) continue;
        if (at < table + 40ull * sections) return false;
        l.end = std::max(l.end, std::uint64_t{at} + raw);
    }
    if (dirCount > kSecurityDir) {
        const auto d = r.View(dirs + 8ull * kSecurityDir, 8);
        if (!d) return false;
        const std::uint32_t at = *d->U32(0), size = *d->U32(4);
        if (size > 0) {
            if (at < l.end || at % 8) return false;
            l.end = std::uint64_t{at} + size;
        }
    }
    return true;
}

// The COFF symbol table and its string table, which unstripped images keep
// after their sections.
bool Symbols(CarveReader& r, Layout& l) {
    const auto dos = r.View(0x3C, 4);
    const auto coff = dos ? r.View(*dos->U32(0), 24) : std::nullopt;
    if (!coff) return false;
    const std::uint32_t at = *coff->U32(12), count = *coff->U32(16);
    if (at == 0 || count == 0) return true;
    const std::uint64_t strings = std::uint64_t{at} + 18ull * count;
    const auto size = r.View(strings, 4);
    if (at < l.headers || !size || *size->U32(0) < 4) return false;
    l.end = std::max(l.end, strings + *size->U32(0));
    return true;
}

// The image checksum: 16-bit words summed with carries folded back in, the
// checksum field itself left out, plus the file's length.
std::optional<std::uint32_t> Checksum(CarveReader& r, const Layout& l) {
    std::uint64_t sum = 0;
    for (std::uint64_t at = 0; at < l.end; at += CarveReader::kMaxView) {
        const std::size_t k =
            static_cast<std::size_t>(std::min<std::uint64_t>(CarveReader::kMaxView, l.end - at));
        const auto v = r.View(at, k);
        if (!v) return std::nullopt;
        for (std::size_t i = 0; i < k; i += 2) {
            if (at + i >= l.checksumAt && at + i < l.checksumAt + 4) continue;
            sum += v->data()[i] | (i + 1 < k ? v->data()[i + 1] << 8 : 0);
            sum = (sum & 0xFFFF) + (sum >> 16);
        }
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + l.end);
}

class PeCarver final : public Carver {
public:
    std::string_view Name() const override { return "pe"; }
    bool Starts(ByteView head) const override {
        const std::uint32_t pe = head.U32(0x3C).value_or(0);
        return head.U16(0) == 0x5A4D && pe >= 64 && pe <= kMaxHeaderOffset && pe % 4 == 0 &&
               (pe + 4 > head.size() || head.U32(pe) == 0x00004550);
    }
    CarveResult Carve(CarveInput& input) const override;
};

CarveResult PeCarver::Carve(CarveInput& input) const {
    CarveReader r(input);
    Layout l;
    if (!Extent(r, l) || !Symbols(r, l)) return {};
    CarveResult res;
    res.type = (l.characteristics & 0x2000)             ? "dll"
               : l.subsystem == 1                       ? "sys"
               : l.subsystem >= 10 && l.subsystem <= 13 ? "efi"
                                                        : "exe";
    res.validation = Validation::Partial;
    res.length = std::min(l.headers, r.Limit());
    res.failedAt = std::min(l.end, r.Limit());
    if (l.end > r.Limit() || !r.View(l.end - 1, 1)) return res;
    if (l.checksum != 0 && Checksum(r, l) != l.checksum) return res;
    res.validation = Validation::Whole;
    res.length = l.end;
    res.failedAt = 0;
    return res;
}

}  // namespace

const Carver& PeFormat() {
    static const PeCarver carver;
    return carver;
}

}  // namespace qm::deep
