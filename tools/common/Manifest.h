// One line of the manifest qm-mkvolume writes beside an image
// (IMAGE.manifest.tsv): a file, stream or folder it put on the volume, and
// what became of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qm::tools {

// The columns, tab-separated. Older manifests end after `path`.
inline constexpr const char* kManifestHeader =
    "record\tdeleted\tsize\tmd5\tpath\tstream\tflags\trecoverable\tclusters\tfree\tparent";

struct ManifestEntry {
    std::uint64_t record = 0;  // MFT record number
    bool deleted = false;
    std::uint64_t size = 0;
    std::string md5;   // of the content, lower-case hex ("-" for a folder)
    std::string path;  // on the volume, "/" between folders
    // ---- Since the stream column -------------------------------------------------
    std::string stream;              // a named $DATA of the file at `path`; empty: the file
    std::vector<std::string> flags;  // dir, compressed, encrypted, sparse, attrlist, orphan
    std::uint64_t clusters = 0;      // deleted: clusters its runs held (sparse runs left out)
    std::uint64_t freeClusters = 0;  // deleted: of those, still free on the finished volume
    std::string parent;              // the folder it was made in

    // The last part of the path.
    std::string Name() const { return path.substr(path.rfind('/') + 1); }
    bool Has(const std::string& flag) const {
        for (const auto& f : flags) {
            if (f == flag) return true;
        }
        return false;
    }
    bool IsDir() const { return Has("dir"); }
    // Percentage of its clusters still free, rounded down; 100 without clusters.
    unsigned Recoverable() const {
        return clusters == 0 ? 100u : static_cast<unsigned>(freeClusters * 100 / clusters);
    }
};

inline std::string ManifestLine(const ManifestEntry& e) {
    std::string flags;
    for (const auto& f : e.flags) flags += (flags.empty() ? "" : ",") + f;
    const bool counted = e.deleted && !e.IsDir();
    return std::to_string(e.record) + '\t' + (e.deleted ? "1" : "0") + '\t' +
           std::to_string(e.size) + '\t' + e.md5 + '\t' + e.path + '\t' +
           (e.stream.empty() ? "-" : e.stream) + '\t' + (flags.empty() ? "-" : flags) + '\t' +
           (counted ? std::to_string(e.Recoverable()) : "-") + '\t' +
           (counted ? std::to_string(e.clusters) : "-") + '\t' +
           (counted ? std::to_string(e.freeClusters) : "-") + '\t' + e.parent;
}

// Parses one line of either layout; nullopt when it is malformed.
inline std::optional<ManifestEntry> ParseManifestLine(const std::string& line, bool extended) {
    std::vector<std::string> f;
    std::size_t at = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', at);
        f.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
        if (tab == std::string::npos) break;
        at = tab + 1;
    }
    if (f.size() != (extended ? 11u : 5u)) return std::nullopt;
    try {
        ManifestEntry e;
        e.record = std::stoull(f[0]);
        e.deleted = f[1] == "1";
        e.size = std::stoull(f[2]);
        e.md5 = f[3];
        e.path = f[4];
        if (!extended) return e;
        if (f[5] != "-") e.stream = f[5];
        for (std::size_t p = 0; f[6] != "-" && p != std::string::npos;) {
            const std::size_t comma = f[6].find(',', p);
            e.flags.push_back(f[6].substr(p, comma == std::string::npos ? comma : comma - p));
            p = comma == std::string::npos ? comma : comma + 1;
        }
        if (f[8] != "-") e.clusters = std::stoull(f[8]);
        if (f[9] != "-") e.freeClusters = std::stoull(f[9]);
        e.parent = f[10];
        return e;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace qm::tools
