// Internal pieces of the file access checks, shared with the other families
// that look at files and with the tests.
#ifndef QUORANE_UTILS_FILE_CHECKS_H
#define QUORANE_UTILS_FILE_CHECKS_H

#include <dirent.h>

#include <cstdint>
#include <string>

#include "base/FileDescriptor.h"
#include "platform/TreeWalk.h"

namespace quorane {

// What a path led to when it was opened, links followed.
enum class FileKind {
    None,       // it could not be opened or examined
    Regular,    // a regular file
    Directory,  // a directory
    Other,      // a FIFO, a device, anything else that opens
};

struct OpenedPath {
    FileKind kind = FileKind::None;
    // Open for reading, close-on-exec, with ordinary (blocking) reads, when
    // the kind is Regular; closed otherwise.
    FileDescriptor descriptor;
};

// Opens `path` for reading without ever waiting in the open, and tells from
// the descriptor, not from the path, what it opened: a check of the path
// followed by an open would be fooled by a FIFO or a device put there in
// between, and an ordinary open of a FIFO waits until a writer comes. Only a
// regular file's descriptor is handed back.
OpenedPath OpenWithoutWaiting(const std::string& path);

// Creates the file at `probePath` (never an existing one), writes its own path
// into it, closes and deletes it. True when the write succeeded and the probe
// is gone again; false, touching nothing, when the file cannot be created.
// Throws boost::filesystem::filesystem_error when the deletion fails.
bool WriteProbe(const std::string& probePath);

// Reads the next entry of an open directory listing as readdir does: null at
// the end, and null with errno set on an error.
using ReadDirectoryEntry = platform::ReadDirectoryEntry;

// The walk of GetFileCount below the directory `root` (a link to one is
// followed): adds to `counter` the regular files of the tree and the symbolic
// links that lead to one. It descends into directories only, never through a
// link, and reads every listing with `readEntry`. Trees of any depth are
// counted, with the walker's fixed number of descriptors. Throws
// boost::filesystem::filesystem_error when `root` or a directory of the tree
// cannot be opened or read, or an entry cannot be examined for a reason other
// than its being gone; the counter keeps what was added before.
void CountRegularFiles(const std::string& root, std::int32_t& counter,
                       ReadDirectoryEntry readEntry = ::readdir);

}  // namespace quorane

#endif  // QUORANE_UTILS_FILE_CHECKS_H
