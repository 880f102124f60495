// quillmere-cli: lists NTFS sources, scans one for deleted files and recovers
// them, without the window. Run() is the whole program; main() only wires it to
// the process.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace qm {
class OutputFactory;
}

namespace qm::cli {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;     // the source or the output folder cannot be used
constexpr int kExitUsage = 2;      // bad arguments, or a disk with several NTFS partitions
constexpr int kExitPartial = 3;    // done, but not everything asked for came out whole
constexpr int kExitStopped = 130;  // stopped by an interrupt (128 + SIGINT)

// `args` without the program name. Normal output goes to `out`, messages and
// the progress bar (when `err` is a terminal) to `err`.
int Run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

// Asks a running scan or recovery to stop after the current record or file.
// Safe to call from a signal handler.
void RequestStop();

// Replaces the same-volume test of `recover` (folder, source -> true when the
// folder lies on the source's volume); an empty function restores the real one.
void SetFolderIsOnSourceForTesting(std::function<bool(const std::string&, const std::string&)> fn);

// Replaces the real output files of `recover` (the factory must outlive the
// runs); nullptr restores them.
void SetOutputForTesting(OutputFactory* output);

}  // namespace qm::cli
