// One recovery run of quillmere-cli: the files' lines, the counts and the
// reasons to stop, file by file as the batch reports them.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "cli/CliCommon.h"
#include "cli/CliOutput.h"
#include "cli/RecoverPlan.h"
#include "cli/Report.h"
#include "recover/RecoverBatch.h"

namespace qm::cli {

struct RecoverArgs {
    std::string source, outDir;
    bool all = false, byNumber = false, allowSameVolume = false, overwrite = false, raw = false;
    bool streams = false, keepPaths = false, times = true;
    std::string report;        // --report FILE; empty: none
    unsigned jobs = 1;         // files written at a time
    unsigned partition = 0;    // --partition N of a disk image; 0: none asked for
    std::vector<Asked> asked;  // positions (":stream" for one stream), in order, without repeats
    RowFilter filter;          // selects the files instead of positions
};

#ifdef _WIN32
constexpr NameText kNameText = NameText::CodePage;  // names come from Utf16ToAnsi
#else
constexpr NameText kNameText = NameText::Utf8;
#endif

// What ended a recovery before its last file.
enum class EndCause { None, OutOfSpace, FolderUnusable, SourceFailed, OutputFailed };

// "unreadable bytes 4096-8191, 20480-20991": the ranges, first and last byte.
std::string UnreadableText(const std::vector<ByteRange>& ranges);

// The files' lines, the counts and the reasons to stop, file by file as the
// batch reports them.
class RecoverRun {
public:
    RecoverRun(const RecoverArgs& a, OutputBuffer& out, ProgressBar& bar, Messages& msg,
               FolderOutput& folder)
        : a_(a), out_(out), bar_(bar), msg_(msg), folder_(folder) {}

    // The jobs for `wanted`, each with a path of its own in this run.
    void Plan(const std::vector<Wanted>& wanted, const ScanSummary& summary, PathPlanner& paths);
    void GivenUp(const std::string& text) {
        out_.Flush();
        bar_.Clear();
        msg_.Say(text);
        ++givenUp_;
    }
    void Run(RawVolume& volume, const VolumeGeometry& geometry, const MftMap* mft);
    // Each file's fate goes to `report` too.
    void SetReport(EvidenceReport* report) { report_ = report; }
    // The closing counts; returns the exit status.
    int Finish(std::int64_t unreadableRecords);

private:
    void OnResult(std::size_t k, const RecoverResult& r);
    std::string OnWritten(std::size_t k, const RecoverResult& r);
    void Stop(EndCause cause, std::string text) {
        if (cause_ == EndCause::None) {
            cause_ = cause;
            causeText_ = std::move(text);
        }
        g_stop.store(true, std::memory_order_relaxed);
    }

    const RecoverArgs& a_;
    OutputBuffer& out_;
    ProgressBar& bar_;
    Messages& msg_;
    FolderOutput& folder_;
    std::vector<RecoverJob> jobs_;
    std::vector<std::string> names_;    // the name each file asked for
    std::vector<std::uint64_t> sizes_;  // each file's size, for the bar
    std::uint64_t totalBytes_ = 0, doneBytes_ = 0;
    EvidenceReport* report_ = nullptr;
    std::set<std::string> paths_;  // written by this run (--overwrite counts names used twice)
    std::uint64_t written_ = 0, damaged_ = 0, givenUp_ = 0, notDone_ = 0, bytes_ = 0;
    std::uint64_t renamed_ = 0, replaced_ = 0;
    EndCause cause_ = EndCause::None;
    std::string causeText_;
};

}  // namespace qm::cli
