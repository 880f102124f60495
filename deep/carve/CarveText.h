// Names that carved files give themselves (a title, an archive member's name)
// made fit to name a file: UTF-8, printable, without the characters that file
// systems refuse, not too long.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qm::deep {

// `text` (UTF-8) as a file name: control characters and / \ : * ? " < > |
// become '_', runs of white space one space, ends trimmed, invalid UTF-8
// dropped, at most 100 bytes (cut between characters). Empty when nothing
// printable is left.
std::string FileNameFrom(std::string_view text);

// Text of one byte a character, as Latin-1 (Windows-1252 in its printable
// range), in UTF-8.
std::string Latin1ToUtf8(std::string_view bytes);

// UTF-16 (little- or big-endian) in UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian);

// Seconds since 1970 as a FILETIME (100 ns since 1601).
std::uint64_t FiletimeFromUnix(std::uint64_t seconds);

}  // namespace qm::deep
