// PDF documents. A PDF ends at an "%%EOF" whose "startxref" points at a
// cross-reference section (a table or a stream) whose entries point at the
// objects they name. An incremental update appends objects, a section and
// another %%EOF, so the walk goes from one %%EOF to the next as long as an
// update follows; a linearized file's first-page section is passed the same
// way. A section whose entries point at something else (a file in pieces)
// makes the file partial up to the last object that was where it should be.
// The Info dictionary's /Title, when it is a plain string, names the file.
#include <algorithm>
#include <memory>
#include <string>

#include "deep/carve/CarveReader.h"
#include "deep/carve/CarveText.h"
#include "deep/carve/Carver.h"
#include "deep/carve/PdfSyntax.h"

namespace qm::deep {
namespace {

using pdf::Text;

constexpr std::uint64_t kSector = 512;
constexpr std::string_view kEof = "%%EOF";
constexpr int kMaxPrev = 16;

bool IsHeader(ByteView v) {
    const std::string_view s = Text(v);
    return s.size() >= 8 && s.starts_with("%PDF-") && s[5] >= '1' && s[5] <= '2' && s[6] == '.' &&
           s[7] >= '0' && s[7] <= '9';
}

class PdfWalk {
public:
    explicit PdfWalk(CarveInput& input) : r_(input) {}
    CarveResult Run();

private:
    std::optional<std::uint64_t> NextEof(std::uint64_t from);
    std::optional<std::uint64_t> StartXref(std::uint64_t eof);
    std::uint64_t LinearizedLength();
    pdf::XrefSection NearestTable(std::uint64_t eof);
    bool UpdateFollows(std::uint64_t end);
    std::string Title(const pdf::XrefSection& last);
    CarveResult Result(Validation v, std::uint64_t length, std::uint64_t failedAt = 0) const;

    Inflater& Decoder() {
        if (!inflater_) inflater_ = std::make_unique<Inflater>();
        return *inflater_;
    }

    CarveReader r_;
    std::unique_ptr<Inflater> inflater_;  // made when a section needs it
    std::string title_;
    std::uint64_t scanned_ = 0;  // how far the search for %%EOF went
};

// The next "%%EOF" from `from`; none past the start of another PDF at a
// sector boundary (a file never holds a second header there).
std::optional<std::uint64_t> PdfWalk::NextEof(std::uint64_t from) {
    while (from < r_.Limit()) {
        const std::uint64_t stop = std::min(r_.Limit(), from + CarveReader::kMaxView);
        const auto eof = r_.Find(kEof, from, stop);
        const std::uint64_t until = eof ? *eof : stop;
        scanned_ = until;
        for (std::uint64_t s = (from + kSector - 1) / kSector * kSector; s < until; s += kSector) {
            const auto head = r_.View(s, 8);
            if (s > 0 && head && IsHeader(*head)) {
                scanned_ = s;
                return std::nullopt;
            }
        }
        if (eof) return eof;
        if (stop == r_.Limit()) break;
        from = stop - (kEof.size() - 1);
    }
    return std::nullopt;
}

// The offset that the "startxref" just before the %%EOF at `eof` gives.
std::optional<std::uint64_t> PdfWalk::StartXref(std::uint64_t eof) {
    const auto at = r_.FindLast("startxref", eof > 64 ? eof - 64 : 0, eof);
    if (!at) return std::nullopt;
    const std::string_view s = Text(r_.ViewUpTo(*at + 9, static_cast<std::size_t>(eof - *at - 9)));
    std::size_t i = pdf::SkipWhite(s, 0);
    const auto offset = pdf::Number(s, i);
    if (!offset || pdf::SkipWhite(s, i) != s.size() || *offset >= *at) return std::nullopt;
    return offset;
}

// Whether an incremental update (objects or a section) starts at `end`.
bool PdfWalk::UpdateFollows(std::uint64_t end) {
    const std::string_view s = Text(r_.ViewUpTo(end, 64));
    std::size_t i = 0;
    while (i < s.size() && pdf::IsWhite(s[i]) && s[i] != '\0') ++i;
    if (i == s.size()) return false;
    pdf::Ref ref;
    return s.substr(i).starts_with("xref") || pdf::ObjectHeader(s.substr(i), ref).has_value();
}

// The cross-reference table last before `eof` (within 1 MiB).
pdf::XrefSection PdfWalk::NearestTable(std::uint64_t eof) {
    const std::uint64_t from = eof > (1u << 20) ? eof - (1u << 20) : 0;
    for (auto at = r_.FindLast("xref", from, eof); at; at = r_.FindLast("xref", from, *at)) {
        const auto before = *at >= 5 ? r_.View(*at - 5, 5) : std::nullopt;
        if (before && Text(*before) == "start") continue;
        return pdf::ReadXref(r_, Decoder(), *at, r_.Limit());
    }
    return {};
}

// The /L of a linearization dictionary in the file's first object; 0 when
// the file is not linearized.
std::uint64_t PdfWalk::LinearizedLength() {
    const std::string_view s = Text(r_.ViewUpTo(0, 1024));
    const std::size_t first = pdf::SkipWhite(s, 8);
    pdf::Ref ref;
    const auto body = pdf::ObjectHeader(s.substr(first), ref);
    const auto dict = body ? pdf::Dictionary(s, pdf::SkipWhite(s, first + *body)) : std::nullopt;
    if (!dict || !pdf::Value(*dict, "/Linearized")) return 0;
    const auto length = pdf::Value(*dict, "/L");
    return length ? pdf::Integer(*length).value_or(0) : 0;
}

std::string PdfWalk::Title(const pdf::XrefSection& last) {
    if (pdf::Value(last.trailer, "/Encrypt")) return {};
    const auto info = pdf::Value(last.trailer, "/Info");
    const auto infoRef = info ? pdf::Reference(*info) : std::nullopt;
    if (!infoRef) return {};
    std::optional<std::uint64_t> at = last.infoAt;
    std::string trailer = last.trailer;
    for (int i = 0; !at && i < kMaxPrev; ++i) {
        const auto prev = pdf::Value(trailer, "/Prev");
        const auto offset = prev ? pdf::Integer(*prev) : std::nullopt;
        if (!offset) break;
        const pdf::XrefSection s = pdf::ReadXref(r_, Decoder(), *offset, r_.Limit(), infoRef->num);
        if (!s.ok) break;
        at = s.infoAt;
        trailer = s.trailer;
    }
    if (!at) return {};
    const std::string_view s = Text(r_.ViewUpTo(*at, 4096));
    pdf::Ref ref;
    const auto body = pdf::ObjectHeader(s, ref);
    const auto dict = body ? pdf::Dictionary(s, pdf::SkipWhite(s, *body)) : std::nullopt;
    const auto value = dict ? pdf::Value(*dict, "/Title") : std::nullopt;
    const auto text = value ? pdf::TextString(*value) : std::nullopt;
    return text ? FileNameFrom(*text) : std::string();
}

CarveResult PdfWalk::Result(Validation v, std::uint64_t length, std::uint64_t failedAt) const {
    CarveResult res;
    res.validation = v;
    res.length = length;
    res.failedAt = failedAt;
    res.type = "pdf";
    res.name = title_;
    return res;
}

CarveResult PdfWalk::Run() {
    const auto head = r_.View(0, 8);
    if (!head || !IsHeader(*head)) return {};
    std::uint64_t good = 0;
    pdf::XrefSection last;
    for (auto eof = NextEof(8); eof; eof = NextEof(*eof + kEof.size())) {
        std::uint64_t end = *eof + kEof.size();
        const ByteView eol = r_.ViewUpTo(end, 2);
        std::size_t k = 0;
        if (k < eol.size() && eol.data()[k] == '\r') ++k;
        if (k < eol.size() && eol.data()[k] == '\n') ++k;
        end += k;
        const auto xref = StartXref(*eof);
        pdf::XrefSection s;
        if (xref) s = pdf::ReadXref(r_, Decoder(), *xref, r_.Limit());
        // A piece missing before the table moves it away from where startxref
        // says; the table itself still tells where the objects stop matching.
        if (!s.ok && good == 0) {
            const pdf::XrefSection near = NearestTable(*eof);
            if (near.ok && near.firstBad)
                return Result(Validation::Partial, near.lastGood, *near.firstBad);
        }
        if (!s.ok || s.firstBad) {
            // What follows an earlier revision that checks out is not ours.
            if (good > 0) break;
            if (s.ok) return Result(Validation::Partial, s.lastGood, *s.firstBad);
            continue;
        }
        good = end;
        last = std::move(s);
        if (!UpdateFollows(end)) break;
    }
    // A linearized file gives its length in its first object; an end found
    // before it is the first-page section's, the rest did not check out.
    const std::uint64_t linearized = LinearizedLength();
    if (good > 0 && good < linearized) return Result(Validation::Partial, good, linearized);
    if (good == 0) {
        const auto endobj = r_.FindLast("endobj", 8, scanned_);
        return Result(Validation::Partial, endobj ? *endobj + 6 : 8);
    }
    title_ = Title(last);
    return Result(Validation::Whole, good);
}

class PdfCarver final : public Carver {
public:
    std::string_view Name() const override { return "pdf"; }
    bool Starts(ByteView head) const override { return IsHeader(head); }
    CarveResult Carve(CarveInput& input) const override { return PdfWalk(input).Run(); }
};

}  // namespace

const Carver& PdfFormat() {
    static const PdfCarver carver;
    return carver;
}

}  // namespace qm::deep
