// Internal pieces of the file access checks, shared with their tests.
#ifndef QUORANE_UTILS_FILE_CHECKS_H
#define QUORANE_UTILS_FILE_CHECKS_H

#include <dirent.h>

#include <cstdint>
#include <string>

#include "platform/TreeWalk.h"

namespace quorane {

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
