// Seam: the processor's brand text.
#ifndef QUORANE_PLATFORM_PROCESSOR_H
#define QUORANE_PLATFORM_PROCESSOR_H

#include <cstddef>
#include <optional>
#include <string>

namespace quorane::platform {

// The processor's brand text, when it and its terminating NUL fit into
// `capacity` bytes. On failure nothing, with errno telling why: ENOENT when
// the platform names no brand, ENOMEM when the text does not fit, or the error
// of reading the platform's source.
std::optional<std::string> ProcessorBrandText(std::size_t capacity);

}  // namespace quorane::platform

#endif  // QUORANE_PLATFORM_PROCESSOR_H
