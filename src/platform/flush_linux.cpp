// Flushing a file system with syncfs.
#ifndef __linux__
#error "Linux implementation of a platform seam: CMake builds another system's own there."
#endif

#include "platform/Flush.h"

#include <unistd.h>  // syncfs

namespace quorane::platform {

bool FlushFileSystem(int directory) { return ::syncfs(directory) == 0; }

}  // namespace quorane::platform
