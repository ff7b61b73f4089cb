// What renaming within a directory can do beyond rename(): swap two names.
#ifndef QUORANE_PLATFORM_RENAME_H
#define QUORANE_PLATFORM_RENAME_H

namespace quorane::platform {

// Swaps the entries `first` and `second` of the directory `directory` in one
// step: each name then holds what the other held, and at no moment is either
// name free or its entry missing. Both must exist. False, with nothing
// changed and errno set, when the system or the file system cannot do it
// (EINVAL where the file system knows no such swap).
bool ExchangeEntries(int directory, const char* first, const char* second);

}  // namespace quorane::platform

#endif  // QUORANE_PLATFORM_RENAME_H
