// Names of recovered files inside the output folder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qm {

// A file name from the volume made safe to use inside the output folder: path
// separators (and on Windows the other characters its file systems forbid)
// become "_", "." becomes "_" and ".." "__".
std::string SafeOutputName(std::string_view name8);

// Output path for a row: folder + separator + safe name, or folder + separator
// + "File_" + index. The folder is used as given (a root keeps its trailing separator).
std::string OutputPathByName(const std::string& folder, std::string_view name8);
std::string OutputPathByNumber(const std::string& folder, std::uint64_t index);

}  // namespace qm
