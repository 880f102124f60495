// The evidence report of `recover --report FILE`: who read what, and for every
// file asked for its record, its path, what became of it and the MD5 and
// SHA-256 of what was written. Next to it go FILE.md5 and FILE.sha256, lists
// that `md5sum -c` and `sha256sum -c` check inside the output folder. All
// three are written to temporary files and appear only when committed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Platform.h"
#include "recover/RecoverRecord.h"
#include "scan/ScanEngine.h"

namespace qm::cli {

enum class ReportFormat { Csv, Json };

// The format a report's name asks for by its extension (.csv or .json, in any
// case); nullopt for any other name.
std::optional<ReportFormat> ReportFormatOf(std::string_view path);

// The files a report at `path` writes: the report, then its MD5 and SHA-256 lists.
std::vector<std::string> ReportFiles(const std::string& path);

// Why a report cannot be written at `path`, said before anything is written:
// one of its files exists (and `replace` is off), or its folder does not
// exist and is not `outDir` (which the recovery creates). `onSource` tells
// whether a folder lies on the volume being read; nullptr: it is not checked.
std::optional<std::string> ReportRefusal(const std::string& path, const std::string& outDir,
                                         bool replace,
                                         const std::function<bool(const std::string&)>& onSource);

// "given up (why): system error", as the command line names a file given up.
std::string GiveUpText(const RecoverResult& r);

// The source's identity and the run, for the report's header part.
struct ReportHeader {
    std::string source;  // as given: a device, an image, IMAGE@OFFSET
    std::uint64_t sourceSize = 0;
    std::uint64_t serial = 0;   // the boot sector's, at offset 0x48
    std::uint64_t started = 0;  // FILETIME of the run's start, UTC
};

// The current time as a FILETIME (100 ns since 1601, UTC).
std::uint64_t FileTimeNow();

class EvidenceReport {
public:
    // Output names in `outDir` are in `text` (the code page on Windows); the
    // report is UTF-8.
    EvidenceReport(OutputFactory& output, std::string path, ReportFormat format, bool replace,
                   std::string outDir, NameText text);
    ~EvidenceReport();

    // Creates the temporary files; the reason when one cannot be made.
    std::optional<std::string> Open();
    void Begin(const ReportHeader& header);
    // A file to be recovered, in the order of the jobs.
    void AddJob(const ScanRow& row, const ScanSummary& summary);
    // A position given that the scan does not list.
    void NotListed(std::uint64_t position, const std::string& reason);
    // Job `k` ended with `r`; `output` is the path it was committed under
    // (empty when nothing was written).
    void Result(std::size_t k, const RecoverResult& r, const std::string& output);
    // Finishes and commits the three files. Adds to `messages` where they went
    // when a name was taken, or why they could not be written; false then.
    bool Commit(std::vector<std::string>& messages);

private:
    struct Part;
    struct Job {
        std::uint64_t position = 0, record = 0, size = 0;
        std::string path;
        std::uint8_t recoverable = kRecoverableUnknown;
    };
    struct Entry;
    void Line(const Job* job, std::uint64_t position, const RecoverResult* r,
              const std::string& reason, const std::string& output);
    void CsvLine(const Entry& e);
    void JsonLine(const Entry& e);
    void Checksums(const ContentDigests& d, const std::string& output);
    std::optional<std::string> CommitPart(Part& part, const std::string& path, std::string& final);

    OutputFactory& output_;
    const std::string path_, outDir_;
    const ReportFormat format_;
    const bool replace_;
    const NameText text_;
    std::vector<std::unique_ptr<Part>> parts_;  // report, .md5, .sha256
    std::vector<Job> jobs_;
    bool firstEntry_ = true;
};

}  // namespace qm::cli
