// The bits of PDF syntax the PDF carver reads: numbers, dictionary values,
// object headers, strings, and the cross-reference sections (tables and
// streams) whose entries are checked against the objects they point at.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "deep/carve/CarveReader.h"

namespace qm::deep::pdf {

std::string_view Text(ByteView v);
bool IsWhite(char c);
// Skips white space and comments from s[i].
std::size_t SkipWhite(std::string_view s, std::size_t i);
// An unsigned decimal integer at s[i] (i moves past it).
std::optional<std::uint64_t> Number(std::string_view s, std::size_t& i);
// What follows `key` (a name such as "/Info") in a dictionary's text, white
// space skipped; nullopt when the key is not there.
std::optional<std::string_view> Value(std::string_view dict, std::string_view key);
// A direct integer ("123", not "12 0 R").
std::optional<std::uint64_t> Integer(std::string_view value);
struct Ref {
    std::uint64_t num = 0, gen = 0;
};
// An indirect reference "N G R".
std::optional<Ref> Reference(std::string_view value);
// "N G obj" at the start of s: the object's number and generation, and the
// position after the keyword.
std::optional<std::size_t> ObjectHeader(std::string_view s, Ref& ref);
// The dictionary "<< ... >>" starting at s[i], nested ones included.
std::optional<std::string_view> Dictionary(std::string_view s, std::size_t i);
// A string (literal or hexadecimal) at the start of s, in UTF-8: UTF-16BE
// with its mark, UTF-8 with its mark, otherwise PDFDocEncoding (read as
// Latin-1, which it matches in the printable range).
std::optional<std::string> TextString(std::string_view s);

// What one cross-reference section says.
struct XrefSection {
    bool ok = false;
    std::string trailer;  // the trailer dictionary (for a stream, its dictionary)
    // Objects whose entries pointed at something else: the lowest such offset,
    // and the highest offset below it that did hold its object.
    std::optional<std::uint64_t> firstBad;
    std::uint64_t lastGood = 0;
    // Where the Info dictionary lies, when this section gives it as an
    // object of its own.
    std::optional<std::uint64_t> infoAt;
};

// Reads the section at `offset` and checks its entries against the objects;
// objects must lie before `end`. The Info dictionary is object `info`, or
// when that is 0 the one this section's trailer names.
XrefSection ReadXref(CarveReader& r, Inflater& inflater, std::uint64_t offset, std::uint64_t end,
                     std::uint64_t info = 0);

}  // namespace qm::deep::pdf
