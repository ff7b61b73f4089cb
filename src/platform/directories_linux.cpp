// Opening a directory of a tree with openat2, which refuses every symbolic
// link on the way and so lets one call both open the directory and look
// inside it; openat and a status query where openat2 is missing.
#ifndef __linux__
#error "Linux implementation of a platform seam: CMake builds another system's own there."
#endif

#include "platform/Directories.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/FileDescriptor.h"

namespace quorane::platform {
namespace {

// Errors of openat2 itself rather than of the path: an older kernel, or a
// sandbox that filters the call.
bool OpenAt2Missing(int error) {
    return error == ENOSYS || error == EPERM || error == EINVAL || error == E2BIG;
}

}  // namespace

int OpenDirectoryBelow(int at, const char* name, int& searchError) {
#ifdef SYS_openat2
    // Opening "<name>/." looks up "." inside the directory, which takes the
    // permission that reaching any of its entries takes; RESOLVE_NO_SYMLINKS
    // refuses a link at <name> with ELOOP.
    const std::size_t length = std::strlen(name);
    if (length <= NAME_MAX) {
        char inside[NAME_MAX + 3];
        std::memcpy(inside, name, length);
        std::memcpy(inside + length, "/.", 3);
        open_how how{};
        how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
        how.resolve = RESOLVE_NO_SYMLINKS;
        const long descriptor = ::syscall(SYS_openat2, at, inside, &how, sizeof how);
        if (descriptor >= 0) {
            searchError = 0;
            return static_cast<int>(descriptor);
        }
        // EACCES: not searchable, or not readable; the plain open below tells
        // which. Any other error is the directory's own.
        if (errno != EACCES && !OpenAt2Missing(errno)) return -1;
    }
#endif
    FileDescriptor directory(::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory.valid()) return -1;
    struct stat info {};
    searchError = ::fstatat(directory.get(), ".", &info, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
    return directory.release();
}

}  // namespace quorane::platform
