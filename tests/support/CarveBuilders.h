// Builds small files of the formats that no free tool writes, byte by byte:
// RAR archives (versions 4 and 5, members stored) and compound files (OLE2,
// version 3, 512-byte sectors). Used by the carver tests and the fuzz seeds.
#pragma once

#include <string>
#include <vector>

#include "tests/support/RecordBuilder.h"

namespace qm::test {

struct NamedBytes {
    std::string name;
    Bytes bytes;
};

// A RAR 4 archive of stored members, ending with an end-of-archive block.
Bytes Rar4Stored(const std::vector<NamedBytes>& files);
// A RAR 5 archive of stored members, with a main and an end-of-archive header.
Bytes Rar5Stored(const std::vector<NamedBytes>& files);

// A compound file holding `streams` (names in ASCII; streams under 4096 bytes
// go to the mini stream) and, when `title` is not empty, a SummaryInformation
// stream with that title (code page 1252). At most 60 KiB in all.
Bytes CompoundFile(const std::vector<NamedBytes>& streams, const std::string& title = "");

}  // namespace qm::test
