// The type registry through GIO, which reads the shared MIME-info database:
// an extension's MIME type is the type the database guesses for a file name
// carrying that extension.
#include "MimeTypes.h"

#include <memory>

#include <gio/gio.h>

namespace quorane::platform {
namespace {

struct GFree {
    void operator()(gpointer block) const { g_free(block); }
};
using GText = std::unique_ptr<gchar, GFree>;

}  // namespace

std::optional<std::string> MimeTypeForExtension(const std::string& extension) {
    if (extension.empty() || !g_utf8_validate(extension.data(), -1, nullptr) ||
        extension.find('\0') != std::string::npos)
        return std::nullopt;
    // Only the name is given, no content: the answer comes from the
    // database's file-name patterns alone.
    const std::string name = "file." + extension;
    gboolean uncertain = FALSE;
    const GText contentType(g_content_type_guess(name.c_str(), nullptr, 0, &uncertain));
    if (!contentType || g_content_type_is_unknown(contentType.get())) return std::nullopt;
    const GText mimeType(g_content_type_get_mime_type(contentType.get()));
    if (!mimeType || *mimeType == '\0') return std::nullopt;
    return std::string(mimeType.get());
}

}  // namespace quorane::platform
