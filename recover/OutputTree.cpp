#include "recover/OutputTree.h"

#include <algorithm>

#include "platform/Platform.h"

namespace qm {
namespace {

// Tried for a level whose name something else has: "name (1)" to "name (99)".
constexpr unsigned kMaxNumber = 99;

}  // namespace

ErrorOr<std::string> OutputTree::Folder(const std::vector<std::string>& levels) {
    std::string at = base_;
    for (const std::string& name8 : levels) {
        QM_TRY(next, Level(at, name8));
        at = std::move(next);
    }
    return at;
}

ErrorOr<std::string> OutputTree::Level(const std::string& parent, const std::string& name8) {
    auto key = std::make_pair(parent, name8);
    if (auto it = known_.find(key); it != known_.end()) return it->second;
    std::string safe = SafeOutputName(name8, text_);
    if (safe.empty()) safe = "_";
    const std::size_t limit = NameLimit(parent);
    safe = FitName(safe, limit, text_);
    const bool rooted = !parent.empty() && (parent.back() == '/' || parent.back() == '\\');
    const std::string prefix = rooted ? parent : parent + OutputSeparator();
    std::string name = safe;
    for (unsigned n = 1;; ++n) {
        int error = 0;
        const FolderLevel outcome = MakeFolderLevel(parent, name, error);
        if (outcome == FolderLevel::Made) made_.push_back(prefix + name);
        if (outcome == FolderLevel::Made || outcome == FolderLevel::Existed) break;
        if (outcome == FolderLevel::Failed)
            return Error::Make(
                ErrorCode::WriteFailed,
                prefix + name + ": cannot make the folder: " + SystemErrorText(error));
        if (n > kMaxNumber)
            return Error::Make(ErrorCode::WriteFailed,
                               prefix + safe + ": the name is taken by files, not folders");
        name = NumberedName(safe, n, limit, text_);
    }
    return known_.emplace(std::move(key), prefix + name).first->second;
}

void OutputTree::RemoveEmpty() {
    // A folder is made after the one it lies in: the reverse order is deepest first.
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) RemoveEmptyFolder(*it);
    made_.clear();
    known_.clear();
}

}  // namespace qm
