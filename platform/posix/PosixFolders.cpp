// Output folders on POSIX: each level made and entered relative to its
// parent's descriptor, never through a symbolic link.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Platform.h"

namespace qm {

FolderLevel MakeFolderLevel(const std::string& parent, const std::string& name, int& error) {
    error = 0;
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        error = EINVAL;
        return FolderLevel::Failed;
    }
    const int dir = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        error = errno;
        return FolderLevel::Failed;
    }
    FolderLevel outcome = FolderLevel::Made;
    if (::mkdirat(dir, name.c_str(), 0777) != 0) {
        if (errno != EEXIST) {
            error = errno;
            ::close(dir);
            return FolderLevel::Failed;
        }
        outcome = FolderLevel::Existed;
    }
    // Whatever has the name now must be a real folder: O_NOFOLLOW refuses a
    // link put there, even one put there after the mkdirat.
    const int level = ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int e = errno;
    ::close(dir);
    if (level >= 0) {
        ::close(level);
        return outcome;
    }
    if (e == ELOOP || e == ENOTDIR) return FolderLevel::Taken;
    error = e;
    return FolderLevel::Failed;
}

bool RemoveEmptyFolder(const std::string& folder) {
    return ::rmdir(folder.c_str()) == 0;
}

}  // namespace qm
