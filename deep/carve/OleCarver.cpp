// Compound files (OLE2): Word, Excel and PowerPoint documents of before 2007,
// Outlook messages, and whatever else keeps streams in one. The header names
// the FAT's sectors (the rest through the DIFAT chain); the file ends after
// the highest sector the FAT has in use. It is whole when the FAT marks its
// own sectors, the directory's chain holds together, and every stream's
// chain (in the FAT or the mini FAT) is as long as the stream. The streams
// tell the kind of document; the summary information's title names it.
#include <algorithm>
#include <string>
#include <vector>

#include "deep/carve/CarveReader.h"
#include "deep/carve/CarveText.h"
#include "deep/carve/Carver.h"

namespace qm::deep {
namespace {

constexpr std::uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr std::uint32_t kMaxRegular = 0xFFFFFFFA;
constexpr std::uint32_t kDifSect = 0xFFFFFFFC;
constexpr std::uint32_t kFatSect = 0xFFFFFFFD;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr std::uint32_t kFree = 0xFFFFFFFF;
constexpr std::uint64_t kMaxFatBytes = 16u << 20;
constexpr std::uint64_t kMaxDirBytes = 4u << 20;
constexpr std::size_t kMaxSummary = 1u << 16;

struct Entry {
    std::string name;  // in UTF-8
    std::uint8_t type = 0;
    std::uint32_t start = 0;
    std::uint64_t size = 0;
};

struct Header {
    unsigned shift = 9;
    std::uint32_t fatSectors = 0, firstDir = 0, cutoff = 0, firstMiniFat = 0, miniFatSectors = 0;
    std::uint32_t firstDifat = 0, difatSectors = 0;
    bool v4 = false;
};

bool ParseHeader(ByteView v, Header& h) {
    if (!v.Has(0, 512) || !std::equal(kSignature, kSignature + 8, v.data())) return false;
    const std::uint16_t major = *v.U16(26), shift = *v.U16(30);
    if (*v.U16(28) != 0xFFFE || *v.U16(32) != 6) return false;
    if (!((major == 3 && shift == 9) || (major == 4 && shift == 12))) return false;
    h.v4 = major == 4;
    h.shift = shift;
    h.fatSectors = *v.U32(44);
    h.firstDir = *v.U32(48);
    h.cutoff = *v.U32(56);
    h.firstMiniFat = *v.U32(60);
    h.miniFatSectors = *v.U32(64);
    h.firstDifat = *v.U32(68);
    h.difatSectors = *v.U32(72);
    return h.cutoff == 4096 && h.fatSectors > 0 &&
           (std::uint64_t{h.fatSectors} << h.shift) <= kMaxFatBytes;
}

class OleWalk {
public:
    explicit OleWalk(CarveInput& input) : r_(input) {}
    CarveResult Run();

private:
    std::uint64_t At(std::uint32_t sector) const {
        return std::uint64_t{sector + 1ull} << h_.shift;
    }
    std::uint64_t SectorSize() const { return std::uint64_t{1} << h_.shift; }
    bool FatSectors(ByteView header, std::vector<std::uint32_t>& list);
    bool LoadFat();
    bool Chain(const std::vector<std::uint32_t>& table, std::uint32_t start, std::uint64_t count,
               std::vector<std::uint32_t>* out);
    bool LoadDirectory();
    bool CheckStreams();
    std::vector<std::uint8_t> StreamBytes(const Entry& e, std::size_t cap);
    std::string Type() const;
    std::string Title();
    CarveResult Fail(std::uint64_t at) const;

    CarveReader r_;
    Header h_;
    std::vector<std::uint32_t> fat_, difat_, miniFat_, miniSectors_;
    std::vector<Entry> entries_;
    std::uint64_t failedAt_ = 0;
};

bool OleWalk::FatSectors(ByteView header, std::vector<std::uint32_t>& list) {
    for (std::uint32_t i = 0; i < 109 && list.size() < h_.fatSectors; ++i)
        list.push_back(*header.U32(76 + 4 * i));
    const std::uint64_t perSector = SectorSize() / 4 - 1;
    std::uint32_t next = h_.firstDifat;
    for (std::uint32_t n = 0; list.size() < h_.fatSectors; ++n) {
        if (n >= h_.difatSectors || next > kMaxRegular) return false;
        difat_.push_back(next);
        const auto v = r_.View(At(next), static_cast<std::size_t>(SectorSize()));
        if (!v) return (failedAt_ = At(next)), false;
        for (std::uint64_t i = 0; i < perSector && list.size() < h_.fatSectors; ++i)
            list.push_back(*v->U32(4 * i));
        next = *v->U32(4 * perSector);
    }
    return true;
}

bool OleWalk::LoadFat() {
    const auto header = r_.View(0, 512);
    std::vector<std::uint32_t> sectors;
    if (!header || !FatSectors(*header, sectors)) return false;
    const std::size_t perSector = static_cast<std::size_t>(SectorSize() / 4);
    fat_.reserve(sectors.size() * perSector);
    for (std::uint32_t s : sectors) {
        const auto v = s <= kMaxRegular ? r_.View(At(s), static_cast<std::size_t>(SectorSize()))
                                        : std::nullopt;
        if (!v) return (failedAt_ = s <= kMaxRegular ? At(s) : 0), false;
        for (std::size_t i = 0; i < perSector; ++i) fat_.push_back(*v->U32(4 * i));
    }
    // The FAT marks its own sectors and the DIFAT's.
    for (std::uint32_t s : sectors)
        if (s >= fat_.size() || fat_[s] != kFatSect) return (failedAt_ = At(s)), false;
    for (std::uint32_t s : difat_)
        if (s >= fat_.size() || fat_[s] != kDifSect) return (failedAt_ = At(s)), false;
    return true;
}

// Follows a chain from `start`: it must hold exactly `count` sectors (any
// number when count is 0) and end properly, without a loop.
bool OleWalk::Chain(const std::vector<std::uint32_t>& table, std::uint32_t start,
                    std::uint64_t count, std::vector<std::uint32_t>* out) {
    std::uint64_t n = 0;
    for (std::uint32_t s = start; s != kEndOfChain; s = table[s]) {
        if (s >= table.size() || ++n > table.size() || (count && n > count)) return false;
        if (out) out->push_back(s);
    }
    return count == 0 || n == count;
}

bool OleWalk::LoadDirectory() {
    std::vector<std::uint32_t> sectors;
    if (!Chain(fat_, h_.firstDir, 0, &sectors) || sectors.empty() ||
        sectors.size() * SectorSize() > kMaxDirBytes)
        return false;
    for (std::uint32_t s : sectors) {
        const auto v = r_.View(At(s), static_cast<std::size_t>(SectorSize()));
        if (!v) return (failedAt_ = At(s)), false;
        for (std::uint64_t at = 0; at + 128 <= v->size(); at += 128) {
            Entry e;
            e.type = *v->U8(at + 66);
            const std::uint16_t nameBytes = *v->U16(at + 64);
            if (e.type > 5 || (e.type != 0 && (nameBytes > 64 || nameBytes % 2)))
                return (failedAt_ = At(s)), false;
            if (e.type == 0) {
                entries_.push_back(std::move(e));
                continue;
            }
            const auto raw = v->Sub(at, nameBytes >= 2 ? nameBytes - 2u : 0u);
            e.name = Utf16ToUtf8(
                std::string_view(reinterpret_cast<const char*>(raw->data()), raw->size()), false);
            e.start = *v->U32(at + 116);
            e.size = h_.v4 ? *v->U64(at + 120) : *v->U32(at + 120);
            entries_.push_back(std::move(e));
        }
    }
    const Entry& root = entries_.front();
    return root.type == 5 && root.name == "Root Entry";
}

bool OleWalk::CheckStreams() {
    const Entry& root = entries_.front();
    const std::uint64_t ss = SectorSize();
    if (root.size > 0 && !Chain(fat_, root.start, (root.size + ss - 1) / ss, &miniSectors_))
        return false;
    if (h_.miniFatSectors > 0) {
        std::vector<std::uint32_t> sectors;
        if (!Chain(fat_, h_.firstMiniFat, h_.miniFatSectors, &sectors)) return false;
        for (std::uint32_t s : sectors) {
            const auto v = r_.View(At(s), static_cast<std::size_t>(ss));
            if (!v) return false;
            for (std::uint64_t i = 0; i < ss / 4; ++i) miniFat_.push_back(*v->U32(4 * i));
        }
    }
    for (const Entry& e : entries_) {
        if (e.type != 2 || e.size == 0) continue;
        const bool mini = e.size < h_.cutoff;
        const std::uint64_t unit = mini ? 64 : ss;
        if (mini && e.size > root.size) return false;
        if (!Chain(mini ? miniFat_ : fat_, e.start, (e.size + unit - 1) / unit, nullptr))
            return false;
    }
    return true;
}

std::vector<std::uint8_t> OleWalk::StreamBytes(const Entry& e, std::size_t cap) {
    std::vector<std::uint8_t> out;
    const bool mini = e.size < h_.cutoff;
    std::vector<std::uint32_t> chain;
    if (!Chain(mini ? miniFat_ : fat_, e.start, 0, &chain)) return out;
    const std::size_t unit = mini ? 64 : static_cast<std::size_t>(SectorSize());
    for (std::uint32_t s : chain) {
        std::uint64_t at = At(s);
        if (mini) {
            const std::uint64_t inMini = std::uint64_t{s} * 64;
            if (inMini / SectorSize() >= miniSectors_.size()) break;
            at = At(miniSectors_[inMini / SectorSize()]) + inMini % SectorSize();
        }
        const auto v = r_.View(at, unit);
        if (!v || out.size() + unit > cap) break;
        out.insert(out.end(), v->data(), v->data() + unit);
    }
    out.resize(std::min<std::uint64_t>(out.size(), e.size));
    return out;
}

std::string OleWalk::Type() const {
    std::string type = "ole";
    for (const Entry& e : entries_) {
        if (e.type != 2 && e.type != 1) continue;
        if (e.name == "WordDocument") return "doc";
        if (e.name == "Workbook" || e.name == "Book") return "xls";
        if (e.name == "PowerPoint Document") return "ppt";
        if (e.name.starts_with("__substg1.0_") || e.name == "__properties_version1.0") type = "msg";
        if (e.name == "VisioDocument") type = "vsd";
    }
    return type;
}

// The title (property 2) of the SummaryInformation property set.
std::string OleWalk::Title() {
    const auto it = std::find_if(entries_.begin(), entries_.end(), [](const Entry& e) {
        return e.type == 2 && e.name == "\x05SummaryInformation";
    });
    if (it == entries_.end()) return {};
    const std::vector<std::uint8_t> bytes = StreamBytes(*it, kMaxSummary);
    const ByteView v(bytes.data(), bytes.size());
    if (v.U16(0) != 0xFFFE || v.U32(24).value_or(0) == 0) return {};
    const std::uint64_t section = v.U32(44).value_or(~0u);
    const std::uint32_t count = v.U32(section + 4).value_or(0);
    std::uint32_t codepage = 1252;
    std::optional<std::uint64_t> title;
    for (std::uint32_t i = 0; i < count && i < 256; ++i) {
        const auto id = v.U32(section + 8 + 8 * i), off = v.U32(section + 12 + 8 * i);
        if (!id || !off) break;
        if (*id == 1 && v.U32(section + *off) == 2)
            codepage = v.U16(section + *off + 4).value_or(0);
        if (*id == 2) title = section + *off;
    }
    if (!title) return {};
    const std::uint32_t type = v.U32(*title).value_or(0), n = v.U32(*title + 4).value_or(0);
    const bool wide = type == 31 || (type == 30 && codepage == 1200);
    const auto text = v.Sub(*title + 8, wide && type == 31 ? std::uint64_t{n} * 2 : n);
    if ((type != 30 && type != 31) || !text) return {};
    const std::string_view s(reinterpret_cast<const char*>(text->data()), text->size());
    if (wide) return FileNameFrom(Utf16ToUtf8(s, false));
    return FileNameFrom(codepage == 65001 ? std::string(s) : Latin1ToUtf8(s));
}

CarveResult OleWalk::Fail(std::uint64_t at) const {
    CarveResult res;
    res.validation = Validation::Partial;
    res.length = 512;
    res.failedAt = std::max<std::uint64_t>(512, at);
    res.type = Type();
    return res;
}

CarveResult OleWalk::Run() {
    const auto header = r_.View(0, 512);
    if (!header || !ParseHeader(*header, h_)) return {};
    if (!LoadFat()) return Fail(failedAt_);
    std::uint64_t last = 0;
    for (std::uint64_t i = 0; i < fat_.size(); ++i)
        if (fat_[i] != kFree) last = i;
    const std::uint64_t length = At(static_cast<std::uint32_t>(last + 1));
    if (!LoadDirectory() || !CheckStreams()) return Fail(failedAt_);
    if (length > r_.Limit() || !r_.View(length - 1, 1)) return Fail(r_.Limit());
    CarveResult res;
    res.validation = Validation::Whole;
    res.length = length;
    res.type = Type();
    res.name = Title();
    return res;
}

class OleCarver final : public Carver {
public:
    std::string_view Name() const override { return "ole"; }
    bool Starts(ByteView head) const override {
        return head.Has(0, 32) && std::equal(kSignature, kSignature + 8, head.data()) &&
               head.U16(28) == 0xFFFE;
    }
    CarveResult Carve(CarveInput& input) const override { return OleWalk(input).Run(); }
};

}  // namespace

const Carver& OleFormat() {
    static const OleCarver carver;
    return carver;
}

}  // namespace qm::deep
