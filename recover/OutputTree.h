// Folders under the output folder for files recovered with their original
// paths: every level a safe name, made without following links, so that no
// file lands outside the output folder.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "base/Result.h"
#include "recover/OutputName.h"

namespace qm {

class OutputTree {
public:
    // Folders are made inside `base`, which must exist.
    OutputTree(std::string base, NameText text) : base_(std::move(base)), text_(text) {}

    // The folder for `levels` (folder names as the volume has them, top
    // first) inside the base, made as needed. Each level becomes a safe name
    // (SafeOutputName, fitted to the file system); a level whose name a file,
    // a symbolic link or a reparse point has gets the first free
    // "name (N)". The same levels give the same folder for the whole run.
    ErrorOr<std::string> Folder(const std::vector<std::string>& levels);

    // Removes the folders this tree made that are empty, deepest first.
    void RemoveEmpty();

private:
    ErrorOr<std::string> Level(const std::string& parent, const std::string& name8);

    std::string base_;
    NameText text_;
    std::map<std::pair<std::string, std::string>, std::string> known_;  // (parent, name) -> folder
    std::vector<std::string> made_;                                     // in the order made
};

}  // namespace qm
