// Writes a described volume with libntfs-3g: formats the image with mkntfs,
// mounts it through our own device operations, creates the directories and
// files, deletes the chosen ones and reports what ended up where.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/Manifest.h"
#include "tools/mkvolume/Description.h"

namespace qm::mkvolume {

using tools::ManifestEntry;

struct WriterOptions {
    std::string mkntfs = "mkntfs";
    bool verbose = false;
    // Leaves out the deletions after the last step (those not followed by
    // `then`): the same volume with those files still in use.
    bool keepLast = false;
};

// Builds `imagePath` from `description`. Throws std::runtime_error naming the
// step that failed. Returns one entry per file (directories are left out), in
// record order.
std::vector<ManifestEntry> BuildVolume(const Description& description, const std::string& imagePath,
                                       const WriterOptions& options = {});

std::string ManifestText(const std::vector<ManifestEntry>& entries);

}  // namespace qm::mkvolume
