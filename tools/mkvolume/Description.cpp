#include "tools/mkvolume/Description.h"

#include <algorithm>
#include <map>
#include <sstream>

#include "recover/Md5.h"

namespace qm::mkvolume {
namespace {

std::uint64_t SplitMix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

[[noreturn]] void Fail(int line, const std::string& what) {
    throw DescriptionError("line " + std::to_string(line) + ": " + what);
}

// key=value options after the positional words; a bare word is a flag
// (TakeFlag), which no key=value option accepts.
std::map<std::string, std::string> Options(const std::vector<std::string>& words, std::size_t from,
                                           int line) {
    std::map<std::string, std::string> out;
    for (std::size_t i = from; i < words.size(); ++i) {
        auto eq = words[i].find('=');
        if (eq == 0 || words[i].empty()) Fail(line, "expected key=value, got " + words[i]);
        if (eq == std::string::npos) {
            out[words[i]] = "\x01";
            continue;
        }
        out[words[i].substr(0, eq)] = words[i].substr(eq + 1);
    }
    return out;
}

bool TakeFlag(std::map<std::string, std::string>& options, const std::string& key, int line) {
    auto it = options.find(key);
    if (it == options.end()) return false;
    if (it->second != "\x01") Fail(line, key + " takes no value");
    options.erase(it);
    return true;
}

std::string TakeOption(std::map<std::string, std::string>& options, const std::string& key,
                       const std::string& fallback) {
    auto it = options.find(key);
    if (it == options.end()) return fallback;
    std::string v = it->second;
    if (v == "\x01") throw DescriptionError(key + " needs a value (" + key + "=...)");
    options.erase(it);
    return v;
}

void NoMoreOptions(const std::map<std::string, std::string>& options, int line) {
    if (!options.empty()) Fail(line, "unknown option " + options.begin()->first);
}

std::string CheckPath(const std::string& path, int line) {
    if (path.size() < 2 || path[0] != '/' || path.back() == '/') {
        Fail(line, "a path must be absolute and name a file: " + path);
    }
    return path;
}

std::uint64_t Size(const std::string& text, int line) {
    try {
        return ParseSize(text);
    } catch (const DescriptionError& e) {
        Fail(line, e.what());
    }
}

// "@OFFSET:LENGTH[:text]"; OFFSET "end" puts the piece at the end of the file.
Piece ParsePiece(std::string word, std::uint64_t fileSize, int line) {
    Piece p;
    if (word.size() > 5 && word.compare(word.size() - 5, 5, ":text") == 0) {
        p.text = true;
        word.resize(word.size() - 5);
    }
    auto colon = word.find(':');
    if (word.size() < 4 || word[0] != '@' || colon == std::string::npos) {
        Fail(line, "expected @OFFSET:LENGTH, got " + word);
    }
    p.length = Size(word.substr(colon + 1), line);
    const std::string offset = word.substr(1, colon - 1);
    if (offset == "end") {
        if (p.length > fileSize) Fail(line, "piece longer than the file");
        p.offset = fileSize - p.length;
    } else {
        p.offset = Size(offset, line);
    }
    if (p.length == 0 || p.offset > fileSize || p.length > fileSize - p.offset) {
        Fail(line, "piece outside the file: " + word);
    }
    return p;
}

// The options every file directive takes.
void FileOptions(std::map<std::string, std::string>& o, FileSpec& f, int line) {
    f.compressed = TakeFlag(o, "compressed", line);
    f.encrypted = TakeFlag(o, "encrypted", line);
    f.reuse = TakeOption(o, "reuse", "");
    f.over = TakeOption(o, "over", "");
    if (!f.reuse.empty()) CheckPath(f.reuse, line);
    if (!f.over.empty()) CheckPath(f.over, line);
}

// "/dir/file:name" of the stream directive.
void StreamPath(const std::string& word, FileSpec& f, int line) {
    const auto colon = word.rfind(':');
    if (colon == std::string::npos || colon < word.rfind('/') || colon + 1 == word.size()) {
        Fail(line, "expected PATH:STREAM, got " + word);
    }
    f.path = CheckPath(word.substr(0, colon), line);
    f.stream = word.substr(colon + 1);
}

constexpr std::size_t kTextLine = 64;

void TextLine(const FileSpec& file, std::uint64_t index, char* out) {
    static const char* const kWords[] = {"alpha", "bravo",  "cedar", "delta",   "ember",  "fjord",
                                         "grain", "harbor", "ivory", "juniper", "kettle", "lumen",
                                         "maple", "nectar", "orbit", "prism"};
    std::string line = "line " + std::to_string(index + 1) + ":";
    std::uint64_t r = SplitMix(file.seed ^ index);
    while (line.size() < kTextLine - 1) {
        line += ' ';
        line += kWords[r & 15];
        r = SplitMix(r);
    }
    line.resize(kTextLine - 1);
    line += '\n';
    std::copy(line.begin(), line.end(), out);
}

}  // namespace

std::uint64_t ParseSize(const std::string& text) {
    if (text.empty()) throw DescriptionError("empty size");
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0 || digits > 19) throw DescriptionError("bad size " + text);
    std::uint64_t value = std::stoull(text.substr(0, digits));
    const std::string suffix = text.substr(digits);
    unsigned shift = 0;
    if (suffix.empty()) {
        shift = 0;
    } else if (suffix == "K") {
        shift = 10;
    } else if (suffix == "M") {
        shift = 20;
    } else if (suffix == "G") {
        shift = 30;
    } else if (suffix == "T") {
        shift = 40;
    } else {
        throw DescriptionError("bad size suffix in " + text);
    }
    if (shift > 0 && value > (~std::uint64_t{0} >> shift)) throw DescriptionError("size too big");
    return value << shift;
}

std::vector<std::string> SplitWords(const std::string& line) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= line.size() || line[i] == '#') break;
        std::string word;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
            char c = line[i++];
            if (c == '"') {
                quoted = !quoted;
            } else if (quoted && c == '\\' && i < line.size()) {
                char e = line[i++];
                word += e == 'n' ? '\n' : e;
            } else {
                word += c;
            }
        }
        if (quoted) throw DescriptionError("unterminated quote");
        words.push_back(word);
    }
    return words;
}

std::uint64_t SeedFor(std::uint64_t volumeSeed, const std::string& path) {
    std::uint64_t h = 0xCBF29CE484222325ull;  // FNV-1a
    for (unsigned char c : path) {
        h ^= c;
        h *= 0x100000001B3ull;
    }
    return SplitMix(h ^ volumeSeed);
}

Description ParseDescription(const std::string& text) {
    Description d;
    bool haveVolume = false;
    std::istringstream in(text);
    std::string raw;
    int line = 0;
    auto addFile = [&](FileSpec f) {
        f.seed = SeedFor(d.volume.seed, f.path);
        Step s;
        s.kind = Step::File;
        s.file = std::move(f);
        d.steps.push_back(std::move(s));
    };
    while (std::getline(in, raw)) {
        ++line;
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        std::vector<std::string> w;
        try {
            w = SplitWords(raw);
        } catch (const DescriptionError& e) {
            Fail(line, e.what());
        }
        if (w.empty()) continue;
        const std::string& cmd = w[0];
        if (cmd != "volume" && !haveVolume) Fail(line, "the first directive must be volume");
        auto need = [&](std::size_t n) {
            if (w.size() < n) Fail(line, cmd + " needs " + std::to_string(n - 1) + " arguments");
        };
        if (cmd == "volume") {
            if (haveVolume) Fail(line, "volume given twice");
            need(2);
            haveVolume = true;
            d.volume.size = Size(w[1], line);
            auto o = Options(w, 2, line);
            d.volume.clusterSize =
                static_cast<std::uint32_t>(Size(TakeOption(o, "cluster", "4096"), line));
            d.volume.sectorSize =
                static_cast<std::uint32_t>(Size(TakeOption(o, "sector", "512"), line));
            d.volume.label = TakeOption(o, "label", "");
            d.volume.seed = Size(TakeOption(o, "seed", "1"), line);
            const std::string zone = TakeOption(o, "mftzone", "");
            if (!zone.empty()) d.volume.mftZone = static_cast<unsigned>(Size(zone, line));
            NoMoreOptions(o, line);
        } else if (cmd == "dir") {
            need(2);
            Step s;
            s.kind = Step::Dir;
            s.path = CheckPath(w[1], line);
            auto o = Options(w, 2, line);
            s.compressed = TakeFlag(o, "compressed", line);
            NoMoreOptions(o, line);
            d.steps.push_back(s);
        } else if (cmd == "file" || cmd == "text") {
            need(3);
            FileSpec f;
            f.path = CheckPath(w[1], line);
            f.kind = cmd == "file" ? FileKind::Random : FileKind::Text;
            f.size = Size(w[2], line);
            auto o = Options(w, 3, line);
            FileOptions(o, f, line);
            NoMoreOptions(o, line);
            addFile(f);
        } else if (cmd == "stream") {
            need(3);
            FileSpec f;
            StreamPath(w[1], f, line);
            f.size = Size(w[2], line);
            auto o = Options(w, 3, line);
            f.kind = TakeFlag(o, "text", line) ? FileKind::Text : FileKind::Random;
            NoMoreOptions(o, line);
            f.seed = SeedFor(d.volume.seed, f.path + ":" + f.stream);
            Step st;
            st.kind = Step::Stream;
            st.file = std::move(f);
            d.steps.push_back(std::move(st));
        } else if (cmd == "literal") {
            need(3);
            FileSpec f;
            f.path = CheckPath(w[1], line);
            f.kind = FileKind::Literal;
            f.literal = w[2];
            f.size = f.literal.size();
            auto o = Options(w, 3, line);
            FileOptions(o, f, line);
            NoMoreOptions(o, line);
            addFile(f);
        } else if (cmd == "sparse" || cmd == "solid") {
            need(3);
            FileSpec f;
            f.path = CheckPath(w[1], line);
            f.kind = cmd == "sparse" ? FileKind::Sparse : FileKind::Solid;
            f.size = Size(w[2], line);
            std::size_t i = 3;
            for (; i < w.size() && !w[i].empty() && w[i][0] == '@'; ++i)
                f.pieces.push_back(ParsePiece(w[i], f.size, line));
            auto o = Options(w, i, line);
            FileOptions(o, f, line);
            NoMoreOptions(o, line);
            std::sort(f.pieces.begin(), f.pieces.end(),
                      [](const Piece& a, const Piece& b) { return a.offset < b.offset; });
            for (std::size_t i = 1; i < f.pieces.size(); ++i) {
                if (f.pieces[i].offset < f.pieces[i - 1].offset + f.pieces[i - 1].length) {
                    Fail(line, "pieces overlap");
                }
            }
            addFile(f);
        } else if (cmd == "fragmented") {
            need(3);
            FileSpec f;
            f.path = CheckPath(w[1], line);
            f.kind = FileKind::Fragmented;
            f.size = Size(w[2], line);
            auto o = Options(w, 3, line);
            f.chunk = static_cast<std::uint32_t>(Size(TakeOption(o, "chunk", "4096"), line));
            if (f.chunk == 0) Fail(line, "chunk must not be 0");
            const std::string order = TakeOption(o, "order", "forward");
            if (order != "forward" && order != "reverse") Fail(line, "order is forward or reverse");
            f.reverse = order == "reverse";
            f.attrList = TakeFlag(o, "attrlist", line);
            FileOptions(o, f, line);
            NoMoreOptions(o, line);
            addFile(f);
        } else if (cmd == "mftfill") {
            need(2);
            Step s;
            s.kind = Step::MftFill;
            s.fill.dir = CheckPath(w[1], line);
            auto o = Options(w, 2, line);
            s.fill.count = static_cast<std::uint32_t>(Size(TakeOption(o, "count", "2000"), line));
            s.fill.bigEvery = static_cast<std::uint32_t>(Size(TakeOption(o, "every", "200"), line));
            s.fill.smallSize = Size(TakeOption(o, "small", "100"), line);
            s.fill.bigSize = Size(TakeOption(o, "big", "64K"), line);
            s.fill.deleteEvery =
                static_cast<std::uint32_t>(Size(TakeOption(o, "delete-every", "0"), line));
            NoMoreOptions(o, line);
            d.steps.push_back(s);
        } else if (cmd == "ballast") {
            need(2);
            Step s;
            s.kind = Step::Ballast;
            s.path = CheckPath(w[1], line);
            auto o = Options(w, 2, line);
            s.leave = Size(TakeOption(o, "leave", "0"), line);
            NoMoreOptions(o, line);
            d.steps.push_back(s);
        } else if (cmd == "delete") {
            need(2);
            if (w.size() > 2) Fail(line, "delete takes one path");
            d.deletions.push_back(CheckPath(w[1], line));
        } else if (cmd == "then") {
            if (w.size() > 1) Fail(line, "then takes nothing");
            Step s;
            s.kind = Step::Delete;
            s.deletions = std::move(d.deletions);
            d.deletions.clear();
            d.steps.push_back(std::move(s));
        } else {
            Fail(line, "unknown directive " + cmd);
        }
    }
    if (!haveVolume) throw DescriptionError("no volume directive");
    return d;
}

bool IsZeroStretch(const FileSpec& file, std::uint64_t offset, std::uint64_t length) {
    if (file.kind != FileKind::Sparse && file.kind != FileKind::Solid) return false;
    for (const Piece& p : file.pieces) {
        if (offset < p.offset + p.length && p.offset < offset + length) return false;
    }
    return true;
}

namespace {

void TextContent(const FileSpec& file, std::uint64_t offset, std::span<std::uint8_t> out) {
    char line[kTextLine];
    std::uint64_t current = ~std::uint64_t{0};
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::uint64_t at = offset + i;
        if (at / kTextLine != current) {
            current = at / kTextLine;
            TextLine(file, current, line);
        }
        out[i] = static_cast<std::uint8_t>(line[at % kTextLine]);
    }
}

}  // namespace

void FillContent(const FileSpec& file, std::uint64_t offset, std::span<std::uint8_t> out) {
    switch (file.kind) {
        case FileKind::Literal:
            for (std::size_t i = 0; i < out.size(); ++i) {
                out[i] = offset + i < file.literal.size()
                             ? static_cast<std::uint8_t>(file.literal[offset + i])
                             : 0;
            }
            return;
        case FileKind::Text:
            TextContent(file, offset, out);
            return;
        case FileKind::Random:
        case FileKind::Fragmented:
        case FileKind::Sparse:
        case FileKind::Solid: {
            const bool pieces = file.kind == FileKind::Sparse || file.kind == FileKind::Solid;
            std::uint64_t word = 0, wordIndex = ~std::uint64_t{0};
            for (std::size_t i = 0; i < out.size(); ++i) {
                const std::uint64_t at = offset + i;
                if (pieces) {
                    const Piece* inside = nullptr;
                    for (const Piece& p : file.pieces) {
                        if (at >= p.offset && at - p.offset < p.length) inside = &p;
                    }
                    if (!inside || inside->text) {
                        out[i] = 0;
                        if (inside) TextContent(file, at, out.subspan(i, 1));
                        continue;
                    }
                }
                if (at / 8 != wordIndex) {
                    wordIndex = at / 8;
                    word = SplitMix(file.seed ^ (wordIndex * 0x9E3779B97F4A7C15ull));
                }
                out[i] = static_cast<std::uint8_t>(word >> (8 * (at % 8)));
            }
            return;
        }
    }
}

std::string ContentMd5(const FileSpec& file) {
    Md5 md5;
    std::vector<std::uint8_t> buf(1 << 20);
    std::uint64_t at = 0;
    while (at < file.size) {
        const std::uint64_t n = std::min<std::uint64_t>(buf.size(), file.size - at);
        if (IsZeroStretch(file, at, n)) {
            md5.UpdateZeros(n);
        } else {
            std::span<std::uint8_t> part(buf.data(), static_cast<std::size_t>(n));
            FillContent(file, at, part);
            md5.Update(part);
        }
        at += n;
    }
    return md5.FinalHex();
}

}  // namespace qm::mkvolume
