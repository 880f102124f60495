// Names of recovered files inside the output folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qm {

// How the bytes of a name are read: in the user's 8-bit code page (what
// Utf16ToAnsi gives; double-byte characters are told by IsDbcsLeadByte), or
// as UTF-8.
enum class NameText { CodePage, Utf8 };

// A file name from the volume made safe to use inside the output folder: path
// separators (and on Windows the other characters its file systems forbid)
// become "_", "." becomes "_" and ".." "__". The second byte of a double-byte
// character is kept as it is, even where it has the value of '\' or '|'; '/'
// and NUL never are.
std::string SafeOutputName(std::string_view name8, NameText text = NameText::CodePage);

// The longest file name the file system of `folder` takes, in the units it
// counts: bytes on POSIX systems (NAME_MAX as pathconf gives it), UTF-16 code
// units on Windows. 255 when the system does not say.
std::size_t NameLimit(const std::string& folder);

// `name` shortened to at most `limit` units: the end of the part before the
// extension is cut, on a character boundary, and the extension (from the last
// '.', when it is at most half the limit) is kept. Unchanged when it fits.
std::string FitName(std::string_view name, std::size_t limit, NameText text);

// The n-th free name for `name` (n >= 1): "stem (n).ext", fitted to `limit`.
// A name that already ends in " (k)" before its extension counts on from its
// stem: "a (1).txt" gives "a (2).txt" for n = 2.
std::string NumberedName(std::string_view name, unsigned n, std::size_t limit, NameText text);

// Output path for a row: folder + separator + safe name fitted to the folder's
// file system, or folder + separator + "File_" + index. The folder is used as
// given (a root keeps its trailing separator).
std::string OutputPathByName(const std::string& folder, std::string_view name8,
                             NameText text = NameText::CodePage);
std::string OutputPathByNumber(const std::string& folder, std::uint64_t index);

// Where the file name of `path` starts: after its last separator, found
// character by character (a double-byte character's second byte is no
// separator); 0 without one.
std::size_t FileNameStart(std::string_view path, NameText text = NameText::CodePage);
// The path separator of this system's output folders.
char OutputSeparator();

}  // namespace qm
