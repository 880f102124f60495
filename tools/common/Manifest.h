// One line of the manifest qm-mkvolume writes beside an image
// (IMAGE.manifest.tsv): a file it put on the volume, and what became of it.
#pragma once

#include <cstdint>
#include <string>

namespace qm::tools {

struct ManifestEntry {
    std::uint64_t record = 0;  // MFT record number
    bool deleted = false;
    std::uint64_t size = 0;
    std::string md5;   // of the content, lower-case hex
    std::string path;  // on the volume, "/" between folders

    // The last part of the path.
    std::string Name() const { return path.substr(path.rfind('/') + 1); }
};

}  // namespace qm::tools
