// The folders a walk meets, in use or deleted, and the paths they give the
// deleted files: collected record by record, resolved once the walk has ended.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ntfs/AttributeList.h"

namespace qm {

// ReferenceRecord and ReferenceSequence (the parts of an MFT reference) come
// from ntfs/AttributeList.h.

// Whether a record whose header holds `current` is still the one a reference
// with `referenced` meant. Freeing a record bumps its sequence number (0 is
// skipped), so a free record also matches the reference it had just before.
bool SequenceMatches(std::uint16_t current, std::uint16_t referenced, bool inUse);

// The folder a row lies in, as text.
struct FolderPath {
    std::u16string text;  // "/A/B" ("" for the root), or "$Orphan" or "$Orphan/B"
    bool orphan = false;
};

class FolderTable {
public:
    static constexpr std::uint64_t kRootRecord = 5;
    // Paths deeper than this are not followed: the chain counts as broken.
    static constexpr std::size_t kMaxDepth = 16384;

    // A directory record, in any order; a record added twice keeps its first entry.
    void Add(std::uint64_t record, std::uint16_t sequence, bool inUse, std::uint64_t parent,
             std::u16string name);
    // Links every folder to its parent: after the walk, before PathOf.
    void Resolve();

    // The folder that reference `parent` names, from the root down.
    FolderPath PathOf(std::uint64_t parent) const;
    // The folder a folder of the table lies in, as its resolved link says (a
    // folder that closes a loop lies in "$Orphan", not under itself).
    FolderPath ParentOf(std::uint64_t record) const;
    // The folders of PathOf(parent) one by one, top first: each one's record
    // and name ("$Orphan", record ~0, first for an orphan).
    struct Level {
        std::uint64_t record;
        std::u16string_view name;
    };
    std::vector<Level> LevelsOf(std::uint64_t parent) const;
    std::size_t size() const { return folders_.size(); }
    // Bytes held, for the memory figures.
    std::size_t BytesHeld() const;

private:
    enum class State : std::uint8_t { Unknown, Visiting, Rooted, Orphan };
    struct Folder {
        std::uint64_t record = 0;
        std::uint64_t parent = 0;  // the reference its name gives
        std::u16string name;
        std::uint32_t up = 0;  // index of the parent folder, when linked
        std::uint16_t sequence = 0;
        bool inUse = false;
        bool linked = false;  // `up` names its true parent
        State state = State::Unknown;
    };
    // The folder `ref` names, when one with a matching sequence number is known.
    const Folder* Find(std::uint64_t ref) const;
    const Folder* AtRecord(std::uint64_t record) const;
    FolderPath PathFrom(const Folder* f) const;
    // `f` and the folders above it up to the root (left out) or the top of its chain.
    std::vector<const Folder*> Upwards(const Folder* f) const;
    std::size_t IndexOf(const Folder* f) const {
        return static_cast<std::size_t>(f - folders_.data());
    }
    void Settle(std::size_t start);

    std::vector<Folder> folders_;  // by record number
    bool haveRoot_ = false;
};

}  // namespace qm
