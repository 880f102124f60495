// What the commands of quillmere-cli share: the stop flag and the test hooks,
// messages on stderr, opening a source (a partition of a disk image among
// them), the scan with its progress bar, and the option --partition.
#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cli/Cli.h"
#include "cli/CliOutput.h"
#include "cli/Format.h"
#include "cli/Help.h"
#include "platform/Platform.h"
#include "scan/ScanEngine.h"

namespace qm::cli {

// Set by RequestStop (a signal), and by a recovery that must end early.
extern std::atomic<bool> g_stop;
// The output files of `recover`: the real ones unless a test replaced them.
OutputFactory& OutputFiles();
// Whether `folder` lies on the volume of `source` (a test may replace the check).
bool FolderIsOnSourceChecked(const std::string& folder, const std::string& source);

// Tab, line feed and carriage return as \t \n \r, other control bytes as
// \xHH; everything else, backslashes included, as it stands.
void AppendControlEscaped(std::string& out, std::string_view text);

class Messages {
public:
    explicit Messages(std::FILE* err) : err_(err) {}
    // Control characters (from names on the volume) are escaped as on stdout:
    // a name must not move the cursor, colour the terminal or fake a line.
    void Say(const std::string& text) {
        std::string line = "quillmere-cli: ";
        AppendControlEscaped(line, text);
        line += "\n";
        std::fwrite(line.data(), 1, line.size(), err_);
        std::fflush(err_);
    }
    int Usage(const std::string& problem) {
        if (!problem.empty()) Say(problem);
        std::fputs(UsageText(), err_);
        return kExitUsage;
    }
    std::FILE* file() const { return err_; }

private:
    std::FILE* err_;
};

// Why `source` could not be opened, in words that name what to do.
std::string OpenProblem(const std::string& source, const Error& e);

std::string Plural(std::int64_t n, const char* one, const char* many);

struct OpenSource {
    std::unique_ptr<RawVolume> volume;
    std::string source;  // the one opened: SOURCE, or SOURCE@OFFSET of its only NTFS partition
};

// Opens SOURCE; an image of a whole disk with one NTFS partition stands for that
// partition, and `partition` (1 on) picks one of several. Returns an exit status
// on failure.
std::variant<OpenSource, int> Resolve(const std::string& source, Messages& msg,
                                      unsigned partition = 0);

// Runs the scan, handing rows to `onRow`, with a progress bar. Returns the
// summary; messages about set-up stops and unreadable records are the caller's.
class ScanRunner final : public ScanObserver {
public:
    ScanRunner(ProgressBar& bar, std::function<void()> onStart,
               std::function<void(ScanRow&&)> onRow)
        : bar_(bar), onStart_(std::move(onStart)), onRow_(std::move(onRow)) {}
    void OnWalkStart(std::int64_t recordCount) override {
        total_ = recordCount > 16 ? static_cast<std::uint64_t>(recordCount - 16) : 0;
        if (onStart_) onStart_();
        bar_.Start("scanning  ", total_);
    }
    void OnRow(ScanRow&& row) override { onRow_(std::move(row)); }
    void OnProgress(std::int64_t done) override { bar_.Update(static_cast<std::uint64_t>(done)); }
    std::uint64_t total() const { return total_; }

private:
    ProgressBar& bar_;
    std::function<void()> onStart_;
    std::function<void(ScanRow&&)> onRow_;
    std::uint64_t total_ = 0;
};

// Messages at the end of a scan. Returns the exit status when the scan did not
// get past its set-up or was stopped.
std::optional<int> ReportScanEnd(const ScanSummary& s, const ScanRunner& runner,
                                 const std::string& source, Messages& msg);

// Says why the output could not be written; kExitOk when it could.
int OutputFailed(const OutputBuffer& out, Messages& msg);

// --partition N (or --partition=N) at args[i], for `command`: nullopt when
// args[i] is another option, else an empty message or what is wrong with it.
std::optional<std::string> TakePartition(const std::vector<std::string>& args, std::size_t& i,
                                         const std::string& command, unsigned& partition);

// The commands, from their arguments (args[0] is the command's name).
int Sources(const std::vector<std::string>& images, std::FILE* outFile, Messages& msg);
int ParseScan(const std::vector<std::string>& args, std::FILE* out, Messages& msg);
int ParseRecover(const std::vector<std::string>& args, std::FILE* out, Messages& msg);

}  // namespace qm::cli
