// Seam: the names of the processes running on this machine.
#ifndef QUORANE_PLATFORM_PROCESSES_H
#define QUORANE_PLATFORM_PROCESSES_H

#include <string>
#include <vector>

namespace quorane::platform {

// The name of every running process, in no particular order. A process whose
// name cannot be read, or that vanished during the scan, is left out, and so
// is one that has exited but not been reaped yet.
std::vector<std::string> RunningProcessNames();

}  // namespace quorane::platform

#endif  // QUORANE_PLATFORM_PROCESSES_H
