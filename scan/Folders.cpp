// Folder paths: each folder is linked to its parent once, loops and broken
// chains are cut, and a row's path is put together by walking up the links.
#include "scan/Folders.h"

#include <algorithm>

namespace qm {

bool SequenceMatches(std::uint16_t current, std::uint16_t referenced, bool inUse) {
    if (current == referenced || referenced == 0) return true;
    if (inUse) return false;
    const std::uint16_t bumped =
        referenced == 0xFFFF ? 1 : static_cast<std::uint16_t>(referenced + 1);
    return current == bumped;
}

void FolderTable::Add(std::uint64_t record, std::uint16_t sequence, bool inUse,
                      std::uint64_t parent, std::u16string name) {
    Folder f;
    f.record = record;
    f.sequence = sequence;
    f.inUse = inUse;
    f.parent = parent;
    f.name = std::move(name);
    if (record == kRootRecord) haveRoot_ = true;
    folders_.push_back(std::move(f));
}

const FolderTable::Folder* FolderTable::AtRecord(std::uint64_t record) const {
    auto it = std::lower_bound(folders_.begin(), folders_.end(), record,
                               [](const Folder& f, std::uint64_t r) { return f.record < r; });
    return it == folders_.end() || it->record != record ? nullptr : &*it;
}

const FolderTable::Folder* FolderTable::Find(std::uint64_t ref) const {
    const Folder* f = AtRecord(ReferenceRecord(ref));
    if (!f || !SequenceMatches(f->sequence, ReferenceSequence(ref), f->inUse)) return nullptr;
    return f;
}

// Follows the parents from `start` until a settled folder, the root, a break
// or a loop, then gives every folder passed the state found.
void FolderTable::Settle(std::size_t start) {
    std::vector<std::size_t> chain;
    State found = State::Orphan;
    std::size_t at = start;
    for (;;) {
        Folder& f = folders_[at];
        if (f.state == State::Rooted || f.state == State::Orphan) {
            found = f.state;
            break;
        }
        if (f.state == State::Visiting) break;  // a loop: the folder that closes it is cut
        chain.push_back(at);
        if (f.record == kRootRecord) {
            found = State::Rooted;
            break;
        }
        f.state = State::Visiting;
        const Folder* up = Find(f.parent);
        if (!up || chain.size() >= kMaxDepth) break;
        f.up = static_cast<std::uint32_t>(IndexOf(up));
        f.linked = true;
        at = f.up;
    }
    // A chain that closes a loop: the folder that closes it becomes its top.
    if (found == State::Orphan && !chain.empty()) {
        Folder& last = folders_[chain.back()];
        if (last.linked && folders_[last.up].state == State::Visiting) last.linked = false;
    }
    for (std::size_t i : chain) folders_[i].state = found;
}

void FolderTable::Resolve() {
    // Folders named from extension records come after the walk: put them in
    // place, keeping the first entry of a record.
    std::stable_sort(folders_.begin(), folders_.end(),
                     [](const Folder& a, const Folder& b) { return a.record < b.record; });
    folders_.erase(
        std::unique(folders_.begin(), folders_.end(),
                    [](const Folder& a, const Folder& b) { return a.record == b.record; }),
        folders_.end());
    for (Folder& f : folders_) {
        f.state = State::Unknown;
        f.linked = false;
    }
    for (std::size_t i = 0; i < folders_.size(); ++i)
        if (folders_[i].state == State::Unknown) Settle(i);
}

FolderPath FolderTable::PathOf(std::uint64_t parent) const {
    if (const Folder* f = Find(parent)) return PathFrom(f);
    FolderPath path;
    // Without the root's own record, a reference to it is believed.
    path.orphan = haveRoot_ || ReferenceRecord(parent) != kRootRecord;
    if (path.orphan) path.text = u"$Orphan";
    return path;
}

FolderPath FolderTable::ParentOf(std::uint64_t record) const {
    const Folder* f = AtRecord(record);
    if (!f) return PathOf(~std::uint64_t{0});
    if (f->linked) return PathFrom(&folders_[f->up]);
    if (record == kRootRecord) return {};
    return FolderPath{u"$Orphan", true};
}

std::vector<const FolderTable::Folder*> FolderTable::Upwards(const Folder* f) const {
    std::vector<const Folder*> up;
    for (const Folder* at = f; at && at->record != kRootRecord;
         at = at->linked ? &folders_[at->up] : nullptr)
        up.push_back(at);
    return up;
}

std::vector<FolderTable::Level> FolderTable::LevelsOf(std::uint64_t parent) const {
    static constexpr std::u16string_view kOrphan = u"$Orphan";
    std::vector<Level> levels;
    const Folder* f = Find(parent);
    if (!f) {
        if (PathOf(parent).orphan) levels.push_back({~std::uint64_t{0}, kOrphan});
        return levels;
    }
    const std::vector<const Folder*> up = Upwards(f);
    if (f->state != State::Rooted) levels.push_back({~std::uint64_t{0}, kOrphan});
    for (auto it = up.rbegin(); it != up.rend(); ++it)
        levels.push_back({(*it)->record, (*it)->name});
    return levels;
}

FolderPath FolderTable::PathFrom(const Folder* f) const {
    FolderPath path;
    const std::vector<const Folder*> up = Upwards(f);
    path.orphan = f->state != State::Rooted;
    if (path.orphan) path.text = u"$Orphan";
    for (auto it = up.rbegin(); it != up.rend(); ++it) {
        path.text += u'/';
        path.text += (*it)->name;
    }
    return path;
}

std::size_t FolderTable::BytesHeld() const {
    std::size_t bytes = folders_.capacity() * sizeof(Folder);
    for (const Folder& f : folders_)
        if (f.name.capacity() > 7) bytes += (f.name.capacity() + 1) * sizeof(char16_t);
    return bytes;
}

}  // namespace qm
