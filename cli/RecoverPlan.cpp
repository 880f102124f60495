#include "cli/RecoverPlan.h"

#include <algorithm>
#include <map>

#include "platform/Platform.h"
#include "recover/RecoverRecord.h"

namespace qm::cli {
namespace {

#ifdef _WIN32
// The ANSI file functions take paths of fewer characters than this.
constexpr std::size_t kMaxPath = 260;
#else
constexpr std::size_t kMaxPath = 4096;  // PATH_MAX
#endif

// A filter made of names alone chooses folders too: a size, a date, an
// extension or a share of free clusters says which files to take.
bool ChoosesFolders(const RowFilter& f) {
    return (f.name || f.path) && f.extensions.empty() && !f.minSize && !f.maxSize &&
           !f.modifiedAfter && !f.modifiedBefore && !f.minRecoverable;
}

bool FilterTakes(const RowFilter& f, const ScanSummary& summary, const ScanRow& row) {
    const FolderPath folder = RowFolder(summary, row);
    return f.Matches(row, RowPath(folder, row), folder.orphan);
}

// Whether the folder a row lies in is one of `folders` or lies in one, at any depth.
bool InFolders(const ScanSummary& summary, const ScanRow& row,
               const std::set<std::uint64_t>& folders) {
    if (!summary.folders) return false;
    for (const FolderTable::Level& l : summary.folders->LevelsOf(row.parent))
        if (folders.count(l.record)) return true;
    return false;
}

// First pass: rows taken for themselves, and the folders whose contents are wanted.
void TakeDirect(std::vector<Wanted>& rows, const ScanSummary& summary, const Selection& s,
                std::set<Asked>& found, std::vector<char>& taken,
                std::set<std::uint64_t>& folders) {
    const bool filtered = s.filter && s.filter->Active();
    const std::set<Asked> asked(s.asked.begin(), s.asked.end());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const ScanRow& row = rows[i].row;
        const Asked key{row.position,
                        row.kind == RowKind::Stream ? Utf16ToUtf8(row.stream) : std::string()};
        const bool named = asked.count(key) != 0;
        if (named) found.insert(key);
        bool take = named;
        if (row.kind == RowKind::Folder) {
            if (take ||
                (filtered && ChoosesFolders(*s.filter) && FilterTakes(*s.filter, summary, row)))
                folders.insert(row.record);
            continue;
        }
        const bool eligible = row.kind == RowKind::File || s.streams;
        if (!take && eligible) take = filtered ? FilterTakes(*s.filter, summary, row) : s.all;
        taken[i] = take;
        rows[i].tree = s.keepPaths;
    }
}

}  // namespace

std::string Name8(const std::u16string& name) {
#ifdef _WIN32
    return Utf16ToAnsi(name);
#else
    return Utf16ToUtf8(name);           // file names on POSIX systems are UTF-8 by convention
#endif
}

std::optional<Asked> ParseAsked(const std::string& text) {
    const std::size_t colon = text.find(':');
    const std::string position = text.substr(0, colon);
    if (position.size() < 3 || position[0] != '0' || (position[1] != 'x' && position[1] != 'X'))
        return std::nullopt;
    auto p = ParsePosition(position);
    if (!p) return std::nullopt;
    Asked a{*p, {}};
    if (colon != std::string::npos) {
        a.stream = text.substr(colon + 1);
        if (a.stream.empty()) return std::nullopt;
    }
    return a;
}

std::string AskedText(const Asked& a) {
    std::string text = PositionText(a.position);
    if (!a.stream.empty()) text += ":" + a.stream;
    return text;
}

std::vector<Wanted> Choose(std::vector<Wanted> rows, const ScanSummary& summary, const Selection& s,
                           std::set<Asked>& found) {
    std::vector<char> taken(rows.size(), 0);
    std::set<std::uint64_t> folders;  // records of the deleted folders asked for
    TakeDirect(rows, summary, s, found, taken, folders);
    // What lay in the folders chosen, with its paths; streams only when asked for.
    for (std::size_t i = 0; !folders.empty() && i < rows.size(); ++i) {
        const ScanRow& row = rows[i].row;
        if (row.kind == RowKind::Folder || (row.kind == RowKind::Stream && !s.streams)) continue;
        if (InFolders(summary, row, folders)) taken[i] = 1, rows[i].tree = true;
    }
    // The streams of the files chosen come with them, placed as their file is.
    if (s.streams) {
        std::map<std::uint64_t, bool> files;  // position -> under its folders
        for (std::size_t i = 0; i < rows.size(); ++i)
            if (taken[i] && rows[i].row.kind == RowKind::File)
                files[rows[i].row.position] = rows[i].tree;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].row.kind != RowKind::Stream) continue;
            auto it = files.find(rows[i].row.position);
            if (it == files.end()) continue;
            taken[i] = 1;
            rows[i].tree = rows[i].tree || it->second;
        }
    }
    std::vector<Wanted> chosen;
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (taken[i]) chosen.push_back(std::move(rows[i]));
    return chosen;
}

std::string PathPlanner::FileName(const Wanted& w) const {
    const std::string name8 = Name8(w.row.name);
    // A file without a name keeps its number: the folder itself is no file name.
    std::string name = byNumber_ || name8.empty() ? "File_" + std::to_string(w.index) : name8;
    // A stream goes beside its file, under a name that shows both: "file.txt_secret".
    if (w.row.kind == RowKind::Stream) name += "_" + Name8(w.row.stream);
    return name;
}

ErrorOr<PlannedJob> PathPlanner::Plan(const Wanted& w, const ScanSummary& summary) {
    std::string folder = outDir_;
    if (w.tree && summary.folders) {
        std::vector<std::string> levels;
        for (const FolderTable::Level& l : summary.folders->LevelsOf(w.row.parent))
            levels.push_back(Name8(std::u16string(l.name)));
        QM_TRY(made, tree_.Folder(levels));
        folder = std::move(made);
    }
    const std::string first = byNumber_ && w.row.kind == RowKind::File && !w.tree
                                  ? OutputPathByNumber(folder, w.index)
                                  : OutputPathByName(folder, FileName(w), text_);
    const std::size_t at = FileNameStart(first, text_);
    const std::size_t limit = NameLimit(folder);
    std::string path = first;
    // Two files of one name in this run: the later one asks for a free name.
    for (unsigned n = 1; !overwrite_ && used_.count(path); ++n)
        path = first.substr(0, at) + NumberedName(first.substr(at), n, limit, text_);
    if (w.tree && path.size() >= kMaxPath)
        return Error::Make(ErrorCode::WriteFailed,
                           "its path is too long for the output file system: " + path);
    used_.insert(path);
    PlannedJob p;
    p.asked = first.substr(std::min(first.size(), outDir_.size() + 1));
    p.job = {w.row.position, path, w.row.kind == RowKind::Stream ? w.row.stream : u"", nullptr};
    if (w.row.detail && w.row.detail->content)
        p.job.content = std::shared_ptr<const DataExtents>(w.row.detail, &*w.row.detail->content);
    return p;
}

}  // namespace qm::cli
