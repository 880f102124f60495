// Helpers of the integration tests: where the images are, their manifests,
// a whole-volume scan, hashing of files and of recovered content, temporary
// folders and running outside tools.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/RawVolume.h"
#include "scan/ScanEngine.h"
#include "tools/common/Manifest.h"

namespace qm::itest {

namespace fs = std::filesystem;

// Folder of the images made by qm-mkvolume for these tests.
fs::path ImageDir();
// The reference data folder (QM_TESTDATA).
fs::path TestdataDir();

// One line of an image's manifest.
using tools::ManifestEntry;
// Reads IMAGE.manifest.tsv; throws when it is missing or malformed. Folders
// are left out unless asked for.
std::vector<ManifestEntry> ReadManifest(const fs::path& image, bool withDirs = false);
std::vector<ManifestEntry> DeletedEntries(const std::vector<ManifestEntry>& manifest);

// A scan's outcome with every row.
struct ScanResult {
    ScanSummary summary;
    std::vector<ScanRow> rows;
    const VolumeInfo& Info() const { return *summary.setup.info; }
};
ScanResult ScanVolume(RawVolume& volume);
std::string Utf8(const std::u16string& text);

// MD5 of a whole file, or of its first `limit` bytes.
std::string FileMd5(const fs::path& path, std::optional<std::uint64_t> limit = std::nullopt);

// A folder removed with everything in it when the object goes.
class TempDir {
public:
    explicit TempDir(const std::string& tag);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Runs a shell command; its standard output, or nullopt when it cannot be run
// or exits non-zero. stderr goes to /dev/null.
std::optional<std::string> RunCapture(const std::string& command);
// MD5 of the first `limit` bytes a command writes to standard output
// (all of them without a limit); nullopt when the command fails.
std::optional<std::string> CommandOutputMd5(const std::string& command,
                                            std::optional<std::uint64_t> limit = std::nullopt);
bool HaveCommand(const std::string& name);
// Decompresses `gz` into `dir` (gzip -dc), returning the new file's path.
fs::path Gunzip(const fs::path& gz, const fs::path& dir);
// Unpacks a tar archive into `dir` (GNU tar keeps sparse members sparse).
void Untar(const fs::path& archive, const fs::path& dir);
std::string ShellQuote(const std::string& text);

// Output files that are hashed instead of written: content of any size costs
// no disk and no memory. Committed contents are kept by final path.
class HashingOutputFactory : public OutputFactory {
public:
    ErrorOr<std::unique_ptr<OutputFile>> Create(const std::string& finalPath) override;
    struct Done {
        std::string md5;
        std::uint64_t bytes = 0;
    };
    std::map<std::string, Done> committed;
};

// Peak resident set of this process so far, in bytes.
std::uint64_t PeakRssBytes();

}  // namespace qm::itest
