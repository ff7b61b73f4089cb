// The type registry through GIO, which reads the shared MIME-info database:
// an extension's MIME type is the type the database guesses for a file name
// carrying that extension.
#include "platform/MimeTypes.h"

#include <gio/gio.h>

#include "platform/Gio.h"

namespace quorane::platform {

std::optional<std::string> MimeTypeForExtension(const std::string& extension) {
    if (extension.empty() || !g_utf8_validate(extension.data(), -1, nullptr) ||
        extension.find('\0') != std::string::npos)
        return std::nullopt;
    const GText contentType = ContentTypeForExtension(extension);
    if (!contentType) return std::nullopt;
    const GText mimeType(g_content_type_get_mime_type(contentType.get()));
    if (!mimeType || *mimeType == '\0') return std::nullopt;
    return std::string(mimeType.get());
}

}  // namespace quorane::platform
