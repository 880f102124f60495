#include "deep/carve/PdfSyntax.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "deep/carve/CarveText.h"

namespace qm::deep::pdf {
namespace {

constexpr std::size_t kMaxDict = 8192;
constexpr std::uint64_t kMaxEntries = 1u << 23;
// Objects looked at per section; past that only the entries' form is checked.
constexpr std::uint64_t kMaxChecked = 1u << 16;
constexpr std::size_t kMaxXrefStream = 8u << 20;

bool IsDelim(char c) {
    return std::string_view("()<>[]{}/%").find(c) != std::string_view::npos;
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

struct Entry {
    std::uint64_t type = 0, a = 0, b = 0;
};

// Tallies what the entries of one section say about their objects.
class EntryCheck {
public:
    EntryCheck(CarveReader& r, std::uint64_t end, std::uint64_t info)
        : r_(r), end_(end), info_(info) {}
    void Object(std::uint64_t num, std::uint64_t offset, std::uint64_t gen, XrefSection& s) {
        if (num == info_ && info_ != 0) s.infoAt = offset;
        if (checked_++ >= kMaxChecked) return;
        Ref ref;
        const auto v = offset < end_ ? r_.View(offset, std::min<std::uint64_t>(40, end_ - offset))
                                     : std::nullopt;
        const bool good = v && ObjectHeader(Text(*v), ref) && ref.num == num && ref.gen == gen;
        if (!good && (!s.firstBad || offset < *s.firstBad)) s.firstBad = offset;
        if (good) lastGood_.push_back(offset);
    }
    void Finish(XrefSection& s) const {
        for (std::uint64_t g : lastGood_)
            if ((!s.firstBad || g < *s.firstBad) && g > s.lastGood) s.lastGood = g;
    }

private:
    CarveReader& r_;
    std::uint64_t end_, info_;
    std::uint64_t checked_ = 0;
    std::vector<std::uint64_t> lastGood_;
};

std::uint64_t InfoNumber(std::string_view trailer) {
    const auto v = Value(trailer, "/Info");
    const auto ref = v ? Reference(*v) : std::nullopt;
    return ref ? ref->num : 0;
}

// One subsection header of a table ("first count") at `at`; `at` moves to
// its first entry, or past "trailer" when the table ends (then count is 0
// and `trailer` true).
bool Subsection(CarveReader& r, std::uint64_t& at, std::uint64_t& first, std::uint64_t& count,
                bool& trailer) {
    const std::string_view s = Text(r.ViewUpTo(at, 128));
    std::size_t i = SkipWhite(s, 0);
    if (s.substr(i).starts_with("trailer")) {
        at += i + 7;
        trailer = true;
        return true;
    }
    const auto a = Number(s, i);
    if (!a || i >= s.size() || s[i] != ' ') return false;
    ++i;
    const auto b = Number(s, i);
    if (!b) return false;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\r' || s[i] == '\n')) ++i;
    first = *a;
    count = *b;
    at += i;
    return i < s.size();
}

std::optional<Entry> TableEntry(CarveReader& r, std::uint64_t at) {
    const auto v = r.View(at, 20);
    if (!v) return std::nullopt;
    const std::string_view s = Text(*v);
    std::size_t i = 0, j = 11;
    const auto off = Number(s, i);
    const auto gen = Number(s, j);
    if (!off || !gen || i != 10 || j != 16 || s[10] != ' ' || s[16] != ' ') return std::nullopt;
    if (s[17] != 'n' && s[17] != 'f') return std::nullopt;
    return Entry{s[17] == 'n' ? 1u : 0u, *off, *gen};
}

XrefSection ReadTable(CarveReader& r, std::uint64_t offset, std::uint64_t end, std::uint64_t info) {
    XrefSection out;
    struct Sub {
        std::uint64_t first, count, at;
    };
    std::vector<Sub> subs;
    std::uint64_t at = offset + 4, total = 0;
    for (bool trailer = false; !trailer;) {
        std::uint64_t first = 0, count = 0;
        if (!Subsection(r, at, first, count, trailer)) return out;
        if (trailer) break;
        total += count;
        if (total > kMaxEntries || subs.size() > 4096) return out;
        subs.push_back({first, count, at});
        at += count * 20;
    }
    const std::string_view s = Text(r.ViewUpTo(at, kMaxDict));
    const auto dict = Dictionary(s, SkipWhite(s, 0));
    if (!dict) return out;
    out.trailer = std::string(*dict);
    EntryCheck check(r, end, info ? info : InfoNumber(out.trailer));
    for (const Sub& sub : subs) {
        for (std::uint64_t k = 0; k < sub.count; ++k) {
            const auto e = TableEntry(r, sub.at + k * 20);
            if (!e) return out;
            if (e->type == 1) check.Object(sub.first + k, e->a, e->b, out);
        }
    }
    check.Finish(out);
    out.ok = true;
    return out;
}

// PNG "Up"-style predictors (10-15) over rows of `columns` bytes, in place;
// the output drops each row's filter byte.
bool Unpredict(std::vector<std::uint8_t>& data, std::uint64_t columns) {
    if (columns == 0 || columns > 4096) return false;
    const std::size_t row = static_cast<std::size_t>(columns) + 1;
    std::vector<std::uint8_t> out, prev(columns, 0);
    for (std::size_t at = 0; at + row <= data.size(); at += row) {
        const std::uint8_t filter = data[at];
        for (std::size_t c = 0; c < columns; ++c) {
            const int left = c ? out[out.size() - 1] : 0, up = prev[c], ul = c ? prev[c - 1] : 0;
            int v = data[at + 1 + c];
            if (filter == 1) v += left;
            if (filter == 2) v += up;
            if (filter == 3) v += (left + up) / 2;
            if (filter == 4) {
                const int p = left + up - ul, pa = std::abs(p - left), pb = std::abs(p - up),
                          pc = std::abs(p - ul);
                v += (pa <= pb && pa <= pc) ? left : (pb <= pc ? up : ul);
            }
            if (filter > 4) return false;
            out.push_back(static_cast<std::uint8_t>(v));
        }
        std::copy(out.end() - static_cast<std::ptrdiff_t>(columns), out.end(), prev.begin());
    }
    data.swap(out);
    return true;
}

class VectorSink final : public ByteSink {
public:
    void Write(ByteView b) override {
        if (bytes.size() + b.size() <= kMaxXrefStream)
            bytes.insert(bytes.end(), b.data(), b.data() + b.size());
    }
    std::vector<std::uint8_t> bytes;
};

// The entries of an xref stream, decoded; false when they cannot be had.
bool StreamEntries(CarveReader& r, Inflater& inflater, std::string_view dict, std::uint64_t data,
                   std::uint64_t length, std::vector<std::uint8_t>& out) {
    const auto filter = Value(dict, "/Filter");
    if (!filter) {
        const auto v = r.View(data, std::min<std::uint64_t>(length, CarveReader::kMaxView));
        if (!v || length > CarveReader::kMaxView) return false;
        out.assign(v->data(), v->data() + v->size());
    } else {
        if (!filter->starts_with("/FlateDecode") && !filter->starts_with("[/FlateDecode]") &&
            !filter->starts_with("[ /FlateDecode ]"))
            return false;
        const auto zhead = r.View(data, 2);
        if (!zhead || (*zhead->U8(0) & 0x0F) != 8 || (*zhead->U8(1) & 0x20) ||
            ((*zhead->U8(0) << 8) | *zhead->U8(1)) % 31 != 0)
            return false;
        InputSource src(r.input(), data + 2, data + length);
        VectorSink sink;
        const auto res = inflater.Run(src, kMaxXrefStream, &sink);
        if (res.status != InflateStatus::Done) return false;
        out.swap(sink.bytes);
    }
    const auto parms = Value(dict, "/DecodeParms");
    const auto predictor = parms ? Value(*parms, "/Predictor") : std::nullopt;
    const auto pv = predictor ? Integer(*predictor) : std::nullopt;
    if (pv && *pv >= 10) {
        const auto cols = Value(*parms, "/Columns");
        const auto cv = cols ? Integer(*cols) : std::nullopt;
        return Unpredict(out, cv.value_or(1));
    }
    return !pv || *pv == 1;
}

// The numbers of an array value "[a b c ...]", at most `max` of them.
std::vector<std::uint64_t> Numbers(std::string_view value, std::size_t max) {
    std::vector<std::uint64_t> out;
    if (value.empty() || value[0] != '[') return out;
    for (std::size_t i = SkipWhite(value, 1); out.size() < max && i < value.size();) {
        const auto n = Number(value, i);
        if (!n) break;
        out.push_back(*n);
        i = SkipWhite(value, i);
    }
    return out;
}

void CheckStreamEntries(CarveReader& r, std::uint64_t end, const std::vector<std::uint8_t>& data,
                        std::uint64_t info, XrefSection& s) {
    const auto wv = Value(s.trailer, "/W");
    const auto w = wv ? Numbers(*wv, 3) : std::vector<std::uint64_t>{};
    const auto size = Value(s.trailer, "/Size");
    const auto iv = Value(s.trailer, "/Index");
    auto index = iv ? Numbers(*iv, 2048)
                    : std::vector<std::uint64_t>{0, Integer(size ? *size : "").value_or(0)};
    if (w.size() != 3 || w[0] > 8 || w[1] > 8 || w[2] > 8 || index.size() % 2) return;
    const std::size_t width = static_cast<std::size_t>(w[0] + w[1] + w[2]);
    if (width == 0) return;
    EntryCheck check(r, end, info ? info : InfoNumber(s.trailer));
    std::size_t at = 0;
    auto field = [&](std::uint64_t k, std::uint64_t def) {
        std::uint64_t v = k ? 0 : def;
        for (std::uint64_t i = 0; i < k; ++i) v = v << 8 | data[at++];
        return v;
    };
    for (std::size_t i = 0; i < index.size(); i += 2) {
        for (std::uint64_t k = 0; k < index[i + 1] && at + width <= data.size(); ++k) {
            const std::uint64_t type = field(w[0], 1), a = field(w[1], 0), b = field(w[2], 0);
            if (type == 1) check.Object(index[i] + k, a, b, s);
        }
    }
    check.Finish(s);
}

XrefSection ReadStream(CarveReader& r, Inflater& inflater, std::uint64_t offset, std::uint64_t end,
                       std::uint64_t info) {
    XrefSection out;
    const std::string_view s = Text(r.ViewUpTo(offset, kMaxDict));
    Ref ref;
    const auto after = ObjectHeader(s, ref);
    if (!after) return out;
    const std::size_t d = SkipWhite(s, *after);
    const auto dict = Dictionary(s, d);
    const auto type = dict ? Value(*dict, "/Type") : std::nullopt;
    const auto len = dict ? Value(*dict, "/Length") : std::nullopt;
    const auto length = len ? Integer(*len) : std::nullopt;
    if (!type || !type->starts_with("/XRef") || !length) return out;
    const std::uint64_t size = length.value_or(0);
    std::size_t k = SkipWhite(s, d + dict->size());
    if (!s.substr(k).starts_with("stream")) return out;
    k += 6;
    if (k < s.size() && s[k] == '\r') ++k;
    if (k >= s.size() || s[k] != '\n') return out;
    const std::uint64_t data = offset + k + 1;
    const auto stop = CheckedAdd(data, size);
    if (!stop || *stop > end) return out;
    const std::string_view tail = Text(r.ViewUpTo(*stop, 32));
    if (!tail.substr(SkipWhite(tail, 0)).starts_with("endstream")) return out;
    out.trailer = std::string(*dict);
    std::vector<std::uint8_t> entries;
    if (StreamEntries(r, inflater, out.trailer, data, size, entries))
        CheckStreamEntries(r, end, entries, info, out);
    out.ok = true;
    return out;
}

}  // namespace

std::string_view Text(ByteView v) {
    return std::string_view(reinterpret_cast<const char*>(v.data()), v.size());
}

bool IsWhite(char c) {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\0';
}

std::size_t SkipWhite(std::string_view s, std::size_t i) {
    while (i < s.size()) {
        if (IsWhite(s[i])) {
            ++i;
        } else if (s[i] == '%') {
            while (i < s.size() && s[i] != '\n' && s[i] != '\r') ++i;
        } else {
            break;
        }
    }
    return i;
}

std::optional<std::uint64_t> Number(std::string_view s, std::size_t& i) {
    std::uint64_t v = 0;
    const std::size_t start = i;
    for (; i < s.size() && IsDigit(s[i]); ++i) {
        if (i - start >= 18) return std::nullopt;
        v = v * 10 + static_cast<std::uint64_t>(s[i] - '0');
    }
    if (i == start) return std::nullopt;
    return v;
}

std::optional<std::string_view> Value(std::string_view dict, std::string_view key) {
    for (std::size_t at = dict.find(key); at != std::string_view::npos;
         at = dict.find(key, at + 1)) {
        const std::size_t after = at + key.size();
        if (after < dict.size() && !IsWhite(dict[after]) && !IsDelim(dict[after])) continue;
        return dict.substr(SkipWhite(dict, after));
    }
    return std::nullopt;
}

std::optional<std::uint64_t> Integer(std::string_view value) {
    std::size_t i = 0;
    const auto n = Number(value, i);
    if (!n) return std::nullopt;
    if (Reference(value)) return std::nullopt;
    return n;
}

std::optional<Ref> Reference(std::string_view value) {
    std::size_t i = 0;
    const auto num = Number(value, i);
    if (!num || i >= value.size() || !IsWhite(value[i])) return std::nullopt;
    i = SkipWhite(value, i);
    const auto gen = Number(value, i);
    if (!gen || i >= value.size() || !IsWhite(value[i])) return std::nullopt;
    i = SkipWhite(value, i);
    if (i >= value.size() || value[i] != 'R') return std::nullopt;
    return Ref{*num, *gen};
}

std::optional<std::size_t> ObjectHeader(std::string_view s, Ref& ref) {
    std::size_t i = 0;
    const auto num = Number(s, i);
    if (!num || i >= s.size() || !IsWhite(s[i])) return std::nullopt;
    i = SkipWhite(s, i);
    const auto gen = Number(s, i);
    if (!gen || i >= s.size() || !IsWhite(s[i])) return std::nullopt;
    i = SkipWhite(s, i);
    if (!s.substr(i).starts_with("obj")) return std::nullopt;
    ref = {*num, *gen};
    return i + 3;
}

std::optional<std::string_view> Dictionary(std::string_view s, std::size_t i) {
    if (!s.substr(i).starts_with("<<")) return std::nullopt;
    int depth = 0;
    for (std::size_t k = i; k + 1 < s.size(); ++k) {
        if (s[k] == '(') {  // a literal string may hold unbalanced brackets
            int parens = 1;
            for (++k; k < s.size() && parens > 0; ++k) {
                if (s[k] == '\\')
                    ++k;
                else if (s[k] == '(')
                    ++parens;
                else if (s[k] == ')')
                    --parens;
            }
            --k;
            continue;
        }
        if (s[k] == '<' && s[k + 1] == '<') {
            ++depth;
            ++k;
        } else if (s[k] == '>' && s[k + 1] == '>') {
            ++k;
            if (--depth == 0) return s.substr(i, k + 1 - i);
        }
    }
    return std::nullopt;
}

namespace {

std::optional<std::string> LiteralBytes(std::string_view s) {
    std::string out;
    int depth = 1;
    for (std::size_t i = 1; i < s.size(); ++i) {
        char c = s[i];
        if (c == '(') ++depth;
        if (c == ')' && --depth == 0) return out;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= s.size()) break;
        c = s[i];
        static constexpr std::string_view kFrom = "nrtbf()\\", kTo = "\n\r\t\b\f()\\";
        if (const auto k = kFrom.find(c); k != std::string_view::npos) {
            out += kTo[k];
        } else if (c >= '0' && c <= '7') {
            int v = 0;
            for (int n = 0; n < 3 && i < s.size() && s[i] >= '0' && s[i] <= '7'; ++n, ++i)
                v = v * 8 + (s[i] - '0');
            --i;
            out += static_cast<char>(v);
        }  // a backslash before an end of line continues the string
    }
    return std::nullopt;
}

std::optional<std::string> HexBytes(std::string_view s) {
    std::string out;
    int half = -1;
    for (std::size_t i = 1; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '>') {
            if (half >= 0) out += static_cast<char>(half << 4);
            return out;
        }
        int v = c >= '0' && c <= '9'                     ? c - '0'
                : (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10
                                                         : -1;
        if (v < 0) {
            if (IsWhite(c)) continue;
            return std::nullopt;
        }
        if (half < 0) {
            half = v;
        } else {
            out += static_cast<char>(half << 4 | v);
            half = -1;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> TextString(std::string_view s) {
    std::optional<std::string> bytes;
    if (s.starts_with("("))
        bytes = LiteralBytes(s);
    else if (s.starts_with("<") && !s.starts_with("<<"))
        bytes = HexBytes(s);
    if (!bytes) return std::nullopt;
    if (bytes->starts_with("\xFE\xFF"))
        return Utf16ToUtf8(std::string_view(*bytes).substr(2), true);
    if (bytes->starts_with("\xEF\xBB\xBF")) return bytes->substr(3);
    return Latin1ToUtf8(*bytes);
}

XrefSection ReadXref(CarveReader& r, Inflater& inflater, std::uint64_t offset, std::uint64_t end,
                     std::uint64_t info) {
    const auto head = r.View(offset, 4);
    if (head && Text(*head) == "xref") return ReadTable(r, offset, end, info);
    return ReadStream(r, inflater, offset, end, info);
}

}  // namespace qm::deep::pdf
