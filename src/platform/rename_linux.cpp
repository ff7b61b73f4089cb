// Swapping two names of a directory with renameat2.
#ifndef __linux__
#error "Linux implementation of a platform seam: CMake builds another system's own there."
#endif

#include "platform/Rename.h"

#include <cstdio>  // renameat2 and RENAME_EXCHANGE

namespace quorane::platform {

bool ExchangeEntries(int directory, const char* first, const char* second) {
    return ::renameat2(directory, first, directory, second, RENAME_EXCHANGE) == 0;
}

}  // namespace quorane::platform
