// Internal piece of the file access checks, shared with their tests.
#ifndef QUORANE_UTILS_FILE_CHECKS_H
#define QUORANE_UTILS_FILE_CHECKS_H

#include <string>

namespace quorane {

// Creates the file at `probePath` (never an existing one), writes its own path
// into it, closes and deletes it. True when the write succeeded and the probe
// is gone again; false, touching nothing, when the file cannot be created.
// Throws boost::filesystem::filesystem_error when the deletion fails.
bool WriteProbe(const std::string& probePath);

}  // namespace quorane

#endif  // QUORANE_UTILS_FILE_CHECKS_H
