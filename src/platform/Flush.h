// Making what was written on a file system reach the disk, all of it at once.
#ifndef QUORANE_PLATFORM_FLUSH_H
#define QUORANE_PLATFORM_FLUSH_H

namespace quorane::platform {

// Flushes the whole file system that holds the open directory `directory`.
// True when everything written on that file system before the call, by this
// process or any other, is on the disk: the contents of files, and the
// directories' entries (new names, renames, removals). A caller relies on
// that to delete the only other copy of what it wrote, such as the backups of
// bundles just unpacked: after true, a power cut cannot leave it with
// neither. One call, however many files were written. False, with errno set,
// when the flush failed; the caller then assumes nothing of it reached the
// disk.
//
// Linux: syncfs. macOS has no flush of one file system, and its fsync leaves
// the data in the drive's own cache: an implementation there calls
// fcntl(F_FULLFSYNC) on each file and directory written below `directory`
// (the caller's tree), or falls back on sync(), which flushes every file
// system but may return before the writes are done, so is the weaker way.
bool FlushFileSystem(int directory);

}  // namespace quorane::platform

#endif  // QUORANE_PLATFORM_FLUSH_H
