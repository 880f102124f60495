// Output folders on Windows: each level made with CreateDirectory and checked
// to be a real folder, never a reparse point (a junction or a symbolic link).
#include <windows.h>

#include "platform/Platform.h"

namespace qm {

FolderLevel MakeFolderLevel(const std::string& parent, const std::string& name, int& error) {
    error = 0;
    // A '\\' may be the second byte of a double-byte character: the caller's
    // safe names have no separators of their own.
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of("/:") != std::string::npos) {
        error = ERROR_INVALID_NAME;
        return FolderLevel::Failed;
    }
    std::string path = parent;
    if (!path.empty() && path.back() != '\\' && path.back() != '/') path += '\\';
    path += name;
    FolderLevel outcome = FolderLevel::Made;
    if (!CreateDirectoryA(path.c_str(), nullptr)) {
        const DWORD e = GetLastError();
        if (e != ERROR_ALREADY_EXISTS) {
            error = static_cast<int>(e);
            return FolderLevel::Failed;
        }
        outcome = FolderLevel::Existed;
    }
    const DWORD attrs = GetFileAttributesA(path.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) {
        error = static_cast<int>(GetLastError());
        return FolderLevel::Failed;
    }
    if (!(attrs & FILE_ATTRIBUTE_DIRECTORY) || (attrs & FILE_ATTRIBUTE_REPARSE_POINT))
        return FolderLevel::Taken;
    return outcome;
}

bool RemoveEmptyFolder(const std::string& folder) {
    return RemoveDirectoryA(folder.c_str()) != 0;
}

}  // namespace qm
