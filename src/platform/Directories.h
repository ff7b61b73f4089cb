// Seam: opening a directory of a tree for listing, relative to its parent.
#ifndef QUORANE_PLATFORM_DIRECTORIES_H
#define QUORANE_PLATFORM_DIRECTORIES_H

namespace quorane::platform {

// Opens the directory `name`, an entry of the open directory `at`, for
// reading its listing; the descriptor is close-on-exec. A symbolic link is
// never followed: a link there fails with ELOOP or ENOTDIR, as does any
// other entry that is not a directory. -1 with errno when it cannot be opened.
//
// `searchError` is set to 0 when the directory's entries can be reached,
// else to the error that reaching one gives (EACCES without search
// permission): a directory may be listed while its entries cannot be reached.
int OpenDirectoryBelow(int at, const char* name, int& searchError);

}  // namespace quorane::platform

#endif  // QUORANE_PLATFORM_DIRECTORIES_H
