// Names of recovered files inside the output folder: made safe, fitted to the
// output file system's limit, and numbered when taken.
#include "recover/OutputName.h"

#include "ntfs/uNTFS.h"
#include "platform/Platform.h"

#ifndef _WIN32
#include <unistd.h>

#include <climits>
#include <mutex>
#endif

namespace qm {
namespace {

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif
constexpr std::size_t kDefaultNameLimit = 255;

// The bytes of the character that starts at `at`, and what the output file
// system counts for it.
struct Char {
    std::size_t bytes;
    std::size_t units;
};

Char CharAt(std::string_view s, std::size_t at, NameText text) {
    const auto u = static_cast<unsigned char>(s[at]);
    std::size_t bytes = 1;
    if (text == NameText::CodePage) {
        if (u >= 0x80 && at + 1 < s.size() && s[at + 1] != '\0' && s[at + 1] != '/' &&
            IsDbcsLeadByte(u))
            bytes = 2;
    } else {
        const std::size_t want = u >= 0xF0 ? 4 : u >= 0xE0 ? 3 : u >= 0xC0 ? 2 : 1;
        while (bytes < want && at + bytes < s.size() &&
               (static_cast<unsigned char>(s[at + bytes]) & 0xC0) == 0x80)
            ++bytes;
    }
#ifdef _WIN32
    // One UTF-16 unit per character, two for those beyond the BMP.
    const std::size_t units = text == NameText::Utf8 && bytes == 4 ? 2 : 1;
#else
    const std::size_t units = bytes;
#endif
    return {bytes, units};
}

std::size_t UnitsOf(std::string_view s, NameText text) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < s.size();) {
        const Char c = CharAt(s, i, text);
        units += c.units;
        i += c.bytes;
    }
    return units;
}

// The longest start of `s` that takes at most `units`, cut between characters.
std::string_view PrefixWithin(std::string_view s, std::size_t units, NameText text) {
    std::size_t used = 0, i = 0;
    while (i < s.size()) {
        const Char c = CharAt(s, i, text);
        if (used + c.units > units) break;
        used += c.units;
        i += c.bytes;
    }
    return s.substr(0, i);
}

// Where the extension starts (its '.'), or the name's size without one. A
// leading '.' (".profile") starts no extension.
std::size_t ExtensionStart(std::string_view name, NameText text) {
    std::size_t dot = name.size();
    for (std::size_t i = 0; i < name.size();) {
        if (name[i] == '.' && i > 0) dot = i;
        i += CharAt(name, i, text).bytes;
    }
    return dot;
}

// Stem + suffix + extension in at most `limit` units: the stem gives way.
std::string Assemble(std::string_view name, std::string_view suffix, std::size_t limit,
                     NameText text) {
    std::size_t dot = ExtensionStart(name, text);
    std::string_view ext = name.substr(dot);
    const std::size_t suffixUnits = UnitsOf(suffix, text);
    if (UnitsOf(ext, text) > limit / 2) ext = {}, dot = name.size();
    std::string_view stem = name.substr(0, dot);
    const std::size_t fixed = suffixUnits + UnitsOf(ext, text);
    if (fixed < limit)
        stem = PrefixWithin(stem, limit - fixed, text);
    else
        stem = {};
    std::string out(stem);
    out += suffix;
    out += ext;
    return out;
}

// The stem without a trailing " (k)" of digits.
std::string_view WithoutNumber(std::string_view stem) {
    if (stem.size() < 4 || stem.back() != ')') return stem;
    std::size_t i = stem.size() - 1;
    while (i > 0 && stem[i - 1] >= '0' && stem[i - 1] <= '9') --i;
    if (i == stem.size() - 1 || i < 2 || stem[i - 1] != '(' || stem[i - 2] != ' ') return stem;
    return stem.substr(0, i - 2);
}

}  // namespace

std::string SafeOutputName(std::string_view name8, NameText text) {
    if (name8 == ".") return "_";
    if (name8 == "..") return "__";
    std::string out(name8);
    for (std::size_t i = 0; i < out.size();) {
        const Char c = CharAt(out, i, text);
        if (c.bytes == 1) {
            const char ch = out[i];
            const auto u = static_cast<unsigned char>(ch);
            bool bad = ch == '/' || ch == '\\' || ch == '\0';
#ifdef _WIN32
            bad = bad || u < 0x20 || ch == ':' || ch == '*' || ch == '?' || ch == '"' ||
                  ch == '<' || ch == '>' || ch == '|';
#else
            (void)u;
#endif
            if (bad) out[i] = '_';
        }
        i += c.bytes;
    }
    return out;
}

std::size_t NameLimit(const std::string& folder) {
#ifdef _WIN32
    (void)folder;
    return kDefaultNameLimit;
#else
    // Asked once per folder in a row: a recovery writes all its files into one.
    thread_local std::string lastFolder;
    thread_local std::size_t lastLimit = 0;
    if (lastLimit != 0 && folder == lastFolder) return lastLimit;
    const long v = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    lastFolder = folder;
    lastLimit = v > 0 && v < 65536 ? static_cast<std::size_t>(v) : kDefaultNameLimit;
    return lastLimit;
#endif
}

std::string FitName(std::string_view name, std::size_t limit, NameText text) {
    if (UnitsOf(name, text) <= limit) return std::string(name);
    return Assemble(name, {}, limit, text);
}

std::string NumberedName(std::string_view name, unsigned n, std::size_t limit, NameText text) {
    const std::size_t dot = ExtensionStart(name, text);
    std::string base(WithoutNumber(name.substr(0, dot)));
    base += name.substr(dot);
    return Assemble(base, " (" + std::to_string(n) + ")", limit, text);
}

std::string OutputPathByName(const std::string& folder, std::string_view name8, NameText text) {
    return folder + kSeparator + FitName(SafeOutputName(name8, text), NameLimit(folder), text);
}

std::string OutputPathByNumber(const std::string& folder, std::uint64_t index) {
    return folder + kSeparator + "File_" + UDecimalText(index);
}

std::size_t FileNameStart(std::string_view path, NameText text) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < path.size();) {
        const Char c = CharAt(path, i, text);
        if (c.bytes == 1 && (path[i] == kSeparator || path[i] == '/')) start = i + 1;
        i += c.bytes;
    }
    return start;
}

char OutputSeparator() {
    return kSeparator;
}

}  // namespace qm
