// Opening sockets close-on-exec in one step, with SOCK_CLOEXEC.
#ifndef __linux__
#error "Linux implementation of a platform seam: CMake builds another system's own there."
#endif

#include "platform/Sockets.h"

#include <sys/socket.h>

namespace quorane::platform {

FileDescriptor OpenSocket(int domain, int type) {
    return FileDescriptor(::socket(domain, type | SOCK_CLOEXEC, 0));
}

}  // namespace quorane::platform
