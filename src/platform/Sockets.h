// Seam: opening a socket that no program the process starts inherits.
#ifndef QUORANE_PLATFORM_SOCKETS_H
#define QUORANE_PLATFORM_SOCKETS_H

#include "base/FileDescriptor.h"

namespace quorane::platform {

// A new socket of `domain` and `type`, as socket() takes them, with the
// default protocol, close-on-exec from the moment it exists: a program that
// another thread starts meanwhile does not get it. Holds nothing, with errno
// set, when no socket can be made.
//
// Linux: SOCK_CLOEXEC in the type. macOS has no such flag: there the
// implementation sets FD_CLOEXEC right after socket().
FileDescriptor OpenSocket(int domain, int type);

}  // namespace quorane::platform

#endif  // QUORANE_PLATFORM_SOCKETS_H
