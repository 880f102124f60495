// Which rows of a scan a recovery takes, and where each one's content goes:
// files, named streams and the contents of deleted folders, flat in the
// output folder or under their original folders.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "base/Result.h"
#include "recover/OutputName.h"
#include "recover/OutputTree.h"
#include "recover/RecoverBatch.h"
#include "scan/Filter.h"
#include "scan/ScanEngine.h"

namespace qm::cli {

// A row of the scan; `index` counts the file rows in scan order (a stream row
// has its file's, a folder row none that matters).
struct Wanted {
    std::uint64_t index;
    ScanRow row;
    bool tree = false;  // goes under its original folders
};

// A position asked for on the command line, with ":stream" for one stream.
struct Asked {
    std::uint64_t position;
    std::string stream;  // UTF-8, as typed
    auto operator<=>(const Asked&) const = default;
};
// "0x1C00" or "0x1C00:secret"; nullopt when it is neither.
std::optional<Asked> ParseAsked(const std::string& text);
std::string AskedText(const Asked& a);

struct Selection {
    bool all = false;
    bool streams = false;    // each file chosen brings its named streams
    bool keepPaths = false;  // every file goes under its original folders
    std::vector<Asked> asked;
    const RowFilter* filter = nullptr;  // when active: chooses instead of positions or all
};

// The rows chosen from `rows` (every row of the scan, in scan order), in that
// order: files and streams asked for, matched, or lying in a deleted folder
// asked for or matched (at any depth; those go under their folders). A
// folder is matched by a filter of only --name, --path and --no-orphans.
// `found` gets the asked positions that named a row.
std::vector<Wanted> Choose(std::vector<Wanted> rows, const ScanSummary& summary, const Selection& s,
                           std::set<Asked>& found);

// Where each chosen row's content goes.
struct PlannedJob {
    RecoverJob job;
    std::string asked;  // the path it asked for, from the output folder on
};

class PathPlanner {
public:
    PathPlanner(std::string outDir, bool byNumber, bool overwrite, NameText text)
        : outDir_(std::move(outDir)),
          byNumber_(byNumber),
          overwrite_(overwrite),
          text_(text),
          tree_(outDir_, text) {}

    // The job of `w`, with a path no earlier job of the run has (unless
    // overwriting); an error when its folders cannot be made.
    ErrorOr<PlannedJob> Plan(const Wanted& w, const ScanSummary& summary);
    // Removes the folders made for files that did not come out.
    void RemoveEmptyFolders() { tree_.RemoveEmpty(); }

private:
    std::string FileName(const Wanted& w) const;

    std::string outDir_;
    bool byNumber_, overwrite_;
    NameText text_;
    OutputTree tree_;
    std::set<std::string> used_;
};

// Names as the output file system takes them (UTF-8, or the code page on Windows).
std::string Name8(const std::u16string& name);

}  // namespace qm::cli
