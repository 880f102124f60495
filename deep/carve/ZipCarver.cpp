// ZIP archives and the formats built on them (Office Open XML, OpenDocument,
// EPUB, JAR/APK). The walk goes from local header to local header, checking
// each member by decompressing it (stored and deflate) against its CRC-32,
// then through the central directory, which must list exactly those members,
// to the end-of-central-directory record (ZIP64 too), whose comment ends the
// file. A member that does not check out ends the walk: the archive is
// reported partial up to that member's data, and the point where the fault
// showed (the member's end, for a CRC) is the break that gap carving starts
// from.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "deep/carve/CarveReader.h"
#include "deep/carve/CarveText.h"
#include "deep/carve/Carver.h"

namespace qm::deep {
namespace {

constexpr std::uint32_t kLocal = 0x04034b50;
constexpr std::uint32_t kCentral = 0x02014b50;
constexpr std::uint32_t kEnd = 0x06054b50;
constexpr std::uint32_t kEnd64 = 0x06064b50;
constexpr std::uint32_t kLocator64 = 0x07064b50;
constexpr std::uint32_t kDescriptor = 0x08074b50;
constexpr std::uint32_t kMax32 = 0xFFFFFFFF;
constexpr std::size_t kMaxMembers = 1u << 18;
constexpr std::size_t kMaxCapture = 1u << 16;
// Output allowed per input byte for a member whose size the local header
// does not give (DEFLATE cannot expand further).
constexpr std::uint64_t kMaxRatio = 1032;

struct Member {
    std::uint64_t offset = 0;
    std::uint32_t crc = 0;
    std::uint64_t csize = 0, usize = 0;
};

struct LocalHeader {
    std::uint16_t flags = 0, method = 0;
    std::uint32_t crc = 0;
    std::uint64_t csize = 0, usize = 0;
    bool zip64 = false;
    std::string name;
    std::uint64_t dataStart = 0;
};

// Where a member's check failed.
struct Break {
    std::uint64_t good = 0, seen = 0;
};

// The ZIP64 extended information field: the 64-bit values of those fields
// that hold 0xFFFFFFFF, in this order.
void ReadZip64(ByteView extra, std::uint64_t* fields[], int count, bool& zip64) {
    for (std::uint64_t at = 0; extra.Has(at, 4);) {
        const std::uint16_t id = *extra.U16(at), size = *extra.U16(at + 2);
        if (id == 0x0001) {
            std::uint64_t p = at + 4;
            for (int i = 0; i < count; ++i) {
                if (*fields[i] != kMax32 || p + 8 > at + 4 + size) continue;
                if (auto v = extra.U64(p)) *fields[i] = *v;
                p += 8;
                zip64 = true;
            }
            return;
        }
        at += 4u + size;
    }
}

// Text of an XML element (the first <tag ...>...</tag>), entities resolved.
std::string XmlElementText(std::string_view xml, std::string_view tag) {
    const std::string open = "<" + std::string(tag), close = "</" + std::string(tag) + ">";
    std::size_t at = xml.find(open);
    while (at != std::string_view::npos && xml.size() > at + open.size() &&
           xml[at + open.size()] != '>' && xml[at + open.size()] != ' ')
        at = xml.find(open, at + 1);
    if (at == std::string_view::npos) return {};
    const std::size_t start = xml.find('>', at);
    if (start == std::string_view::npos || xml[start - 1] == '/') return {};
    const std::size_t end = xml.find(close, start);
    if (end == std::string_view::npos) return {};
    const std::string_view raw = xml.substr(start + 1, end - start - 1);
    std::string out;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '&') {
            out += raw[i];
            continue;
        }
        const std::size_t semi = raw.find(';', i);
        if (semi == std::string_view::npos || semi - i > 10) return {};
        const std::string_view e = raw.substr(i + 1, semi - i - 1);
        static constexpr std::pair<std::string_view, char> kNamed[] = {
            {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
        char c = 0;
        for (const auto& [name, ch] : kNamed)
            if (e == name) c = ch;
        out += c ? c : ' ';
        i = semi;
    }
    return out;
}

class CaptureSink final : public ByteSink {
public:
    void Write(ByteView bytes) override {
        const std::size_t k = std::min(bytes.size(), kMaxCapture - text.size());
        text.append(reinterpret_cast<const char*>(bytes.data()), k);
    }
    std::string text;
};

class ZipWalk {
public:
    explicit ZipWalk(CarveInput& input) : r_(input) {}
    CarveResult Run();

private:
    bool ParseLocal(std::uint64_t at, LocalHeader& h);
    bool CheckData(LocalHeader& h, std::uint64_t& end, Break& fault);
    bool Descriptor(LocalHeader& h, std::uint64_t& end, std::uint32_t crc, std::uint64_t csize,
                    std::uint64_t usize);
    bool Central(std::uint64_t& at);
    bool EndRecord(std::uint64_t cdStart, std::uint64_t at, std::uint64_t& end);
    void Note(const LocalHeader& h, std::string&& content);
    std::string Type() const;
    CarveResult Partial(std::uint64_t good, std::uint64_t seen) const;

    CarveReader r_;
    std::unique_ptr<Inflater> inflater_;  // made when a member needs it
    std::vector<Member> members_;
    bool contentTypes_ = false, word_ = false, xl_ = false, ppt_ = false;
    bool manifest_ = false, android_ = false;
    std::string mimetype_, title_;
};

bool ZipWalk::ParseLocal(std::uint64_t at, LocalHeader& h) {
    const auto v = r_.View(at, 30);
    if (!v || *v->U32(0) != kLocal) return false;
    h.flags = *v->U16(6);
    h.method = *v->U16(8);
    h.crc = *v->U32(14);
    h.csize = *v->U32(18);
    h.usize = *v->U32(22);
    const std::uint16_t nlen = *v->U16(26), xlen = *v->U16(28);
    if (nlen == 0) return false;
    const auto name = r_.View(at + 30, nlen);
    if (!name) return false;
    h.name.assign(reinterpret_cast<const char*>(name->data()), nlen);
    const auto extra = r_.View(at + 30 + nlen, xlen);
    if (!extra) return false;
    std::uint64_t* fields[] = {&h.usize, &h.csize};
    ReadZip64(*extra, fields, 2, h.zip64);
    h.dataStart = at + 30 + nlen + xlen;
    return true;
}

bool ZipWalk::Descriptor(LocalHeader& h, std::uint64_t& end, std::uint32_t crc, std::uint64_t csize,
                         std::uint64_t usize) {
    std::uint64_t at = end;
    const auto sig = r_.View(at, 4);
    if (sig && *sig->U32(0) == kDescriptor) at += 4;
    const unsigned width = h.zip64 ? 8 : 4;
    const auto v = r_.View(at, 4 + 2 * width);
    if (!v) return false;
    h.crc = *v->U32(0);
    h.csize = *v->UVar(4, width);
    h.usize = *v->UVar(4 + width, width);
    if (h.crc != crc || h.csize != csize || h.usize != usize) return false;
    end = at + 4 + 2 * width;
    return true;
}

// Checks one member's data; `end` becomes the end of its data (and
// descriptor). False with `fault` set when it does not check out.
bool ZipWalk::CheckData(LocalHeader& h, std::uint64_t& end, Break& fault) {
    const bool described = (h.flags & 0x0008) != 0;
    const bool sized = !described || h.csize != 0;
    fault = {h.dataStart, h.dataStart};
    std::uint32_t crc = 0;
    std::uint64_t csize = h.csize, usize = h.usize;
    if (h.method == 8 && (h.flags & 1) == 0) {
        const std::uint64_t stop =
            sized ? std::min(r_.Limit(), CheckedAdd(h.dataStart, h.csize).value_or(r_.Limit()))
                  : r_.Limit();
        const std::uint64_t cap = sized && !described ? h.usize : (stop - h.dataStart) * kMaxRatio;
        InputSource src(r_.input(), h.dataStart, stop);
        CaptureSink capture;
        const bool keep = h.name == "docProps/core.xml" || h.name == "mimetype";
        if (!inflater_) inflater_ = std::make_unique<Inflater>();
        const InflateResult res = inflater_->Run(src, cap, keep ? &capture : nullptr);
        fault.seen = h.dataStart + res.consumed;
        if (res.status != InflateStatus::Done) return false;
        crc = res.crc;
        csize = res.consumed;
        usize = res.produced;
        if (keep) Note(h, std::move(capture.text));
    } else if (sized) {
        fault.seen = std::min(r_.Limit(), h.dataStart + h.csize);
        if (!CheckedAdd(h.dataStart, h.csize) || h.dataStart + h.csize > r_.Limit()) return false;
        if (h.method == 0 && (h.flags & 1) == 0) {
            const auto c = r_.Crc(h.dataStart, h.csize);
            if (!c || h.csize != h.usize) return false;
            crc = *c;
            if (h.name == "mimetype" || h.name == "docProps/core.xml") {
                const ByteView v =
                    r_.ViewUpTo(h.dataStart, std::min<std::uint64_t>(h.csize, kMaxCapture));
                Note(h, std::string(reinterpret_cast<const char*>(v.data()), v.size()));
            }
        } else {
            crc = h.crc;  // encrypted, or a method we do not decode: the structure only
        }
    } else {
        return false;  // no size and no way to find the end
    }
    end = h.dataStart + csize;
    if (described) return Descriptor(h, end, crc, csize, usize);
    if (crc != h.crc || csize != h.csize || usize != h.usize) {
        fault.seen = end;
        return false;
    }
    return true;
}

void ZipWalk::Note(const LocalHeader& h, std::string&& content) {
    if (h.name == "mimetype") mimetype_ = content.substr(0, 80);
    if (h.name == "docProps/core.xml") title_ = FileNameFrom(XmlElementText(content, "dc:title"));
}

bool ZipWalk::Central(std::uint64_t& at) {
    std::size_t count = 0;
    for (;; ++count) {
        const auto v = r_.View(at, 46);
        if (!v || *v->U32(0) != kCentral) break;
        Member m{*v->U32(42), *v->U32(16), *v->U32(20), *v->U32(24)};
        const std::uint16_t nlen = *v->U16(28), xlen = *v->U16(30), clen = *v->U16(32);
        const auto extra = r_.View(at + 46 + nlen, xlen);
        if (!extra) return false;
        std::uint64_t* fields[] = {&m.usize, &m.csize, &m.offset};
        bool zip64 = false;
        ReadZip64(*extra, fields, 3, zip64);
        const auto it =
            std::lower_bound(members_.begin(), members_.end(), m.offset,
                             [](const Member& a, std::uint64_t off) { return a.offset < off; });
        if (it == members_.end() || it->offset != m.offset || it->crc != m.crc ||
            it->csize != m.csize || it->usize != m.usize)
            return false;
        at += 46u + nlen + xlen + clen;
    }
    return count == members_.size();
}

// The end records after the central directory [cdStart, at): the ZIP64 end
// record and its locator when there, then the classic one, whose comment
// ends the archive.
bool ZipWalk::EndRecord(std::uint64_t cdStart, std::uint64_t at, std::uint64_t& end) {
    const std::uint64_t cdEnd = at;
    std::uint64_t entries = kMax32, cdSize = kMax32, cdOffset = kMax32;
    const auto sig = r_.View(at, 4);
    if (sig && *sig->U32(0) == kEnd64) {
        const auto v = r_.View(at, 56);
        if (!v) return false;
        entries = *v->U64(32);
        cdSize = *v->U64(40);
        cdOffset = *v->U64(48);
        const auto next = CheckedAdd(*v->U64(4), at + 12);
        const auto loc = next ? r_.View(*next, 20) : std::nullopt;
        if (!loc || *loc->U32(0) != kLocator64 || *loc->U64(8) != at) return false;
        at = *next + 20;
    }
    const auto v = r_.View(at, 22);
    if (!v || *v->U32(0) != kEnd || *v->U16(4) != 0 || *v->U16(6) != 0) return false;
    if (*v->U16(10) != 0xFFFF) entries = *v->U16(10);
    if (*v->U32(12) != kMax32) cdSize = *v->U32(12);
    if (*v->U32(16) != kMax32) cdOffset = *v->U32(16);
    if (entries != members_.size() || cdSize != cdEnd - cdStart || cdOffset != cdStart)
        return false;
    end = at + 22 + *v->U16(20);
    return end <= r_.Limit() && r_.View(end - 1, 1).has_value();
}

std::string ZipWalk::Type() const {
    if (contentTypes_ && word_) return "docx";
    if (contentTypes_ && xl_) return "xlsx";
    if (contentTypes_ && ppt_) return "pptx";
    static constexpr std::pair<std::string_view, std::string_view> kMime[] = {
        {"application/vnd.oasis.opendocument.text", "odt"},
        {"application/vnd.oasis.opendocument.spreadsheet", "ods"},
        {"application/vnd.oasis.opendocument.presentation", "odp"},
        {"application/epub+zip", "epub"}};
    for (const auto& [mime, ext] : kMime)
        if (mimetype_ == mime) return std::string(ext);
    if (android_) return "apk";
    if (manifest_) return "jar";
    return "zip";
}

CarveResult ZipWalk::Partial(std::uint64_t good, std::uint64_t seen) const {
    CarveResult res;
    res.validation = Validation::Partial;
    res.length = good;
    res.failedAt = std::max(good, seen);
    res.type = Type();
    res.name = title_;
    return res;
}

CarveResult ZipWalk::Run() {
    std::uint64_t at = 0;
    LocalHeader h;
    while (ParseLocal(at, h)) {
        std::uint64_t end = 0;
        Break fault;
        if (!CheckData(h, end, fault) || members_.size() == kMaxMembers)
            return Partial(fault.good, fault.seen);
        members_.push_back({at, h.crc, h.csize, h.usize});
        contentTypes_ |= h.name == "[Content_Types].xml";
        word_ |= h.name.starts_with("word/");
        xl_ |= h.name.starts_with("xl/");
        ppt_ |= h.name.starts_with("ppt/");
        manifest_ |= h.name == "META-INF/MANIFEST.MF";
        android_ |= h.name == "AndroidManifest.xml";
        at = end;
    }
    if (members_.empty()) return {};
    const std::uint64_t cdStart = at;
    std::uint64_t end = 0;
    if (!Central(at) || !EndRecord(cdStart, at, end)) return Partial(cdStart, at);
    CarveResult res;
    res.validation = Validation::Whole;
    res.length = end;
    res.type = Type();
    res.name = title_;
    return res;
}

class ZipCarver final : public Carver {
public:
    std::string_view Name() const override { return "zip"; }
    bool Starts(ByteView head) const override {
        // The signature, a version needed of at most 6.3 and a name.
        return head.U32(0) == kLocal && head.U8(5) == 0 && head.U16(26).value_or(0) != 0;
    }
    CarveResult Carve(CarveInput& input) const override { return ZipWalk(input).Run(); }
};

}  // namespace

const Carver& ZipFormat() {
    static const ZipCarver carver;
    return carver;
}

}  // namespace qm::deep
