// Seam: getting what was written on a file system onto its disk.
#ifndef QUORANE_PLATFORM_FLUSH_H
#define QUORANE_PLATFORM_FLUSH_H

namespace quorane::platform {

// Flushes everything written on the file system that holds the open
// directory `directory`: files, directories and names, whoever wrote them.
// True when all of it is on the disk. The caller relies on that before it
// removes what the written files replace.
bool FlushFileSystem(int directory);

}  // namespace quorane::platform

#endif  // QUORANE_PLATFORM_FLUSH_H
