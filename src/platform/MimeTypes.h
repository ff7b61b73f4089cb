// Seam: the platform's type registry, asked for the MIME type of a file-name
// extension.
#ifndef QUORANE_PLATFORM_MIME_TYPES_H
#define QUORANE_PLATFORM_MIME_TYPES_H

#include <optional>
#include <string>

namespace quorane::platform {

// The MIME type the registry gives a file named with this extension (UTF-8,
// without its "."). Nothing when the registry does not know the extension or
// the extension is empty or not UTF-8.
std::optional<std::string> MimeTypeForExtension(const std::string& extension);

}  // namespace quorane::platform

#endif  // QUORANE_PLATFORM_MIME_TYPES_H
