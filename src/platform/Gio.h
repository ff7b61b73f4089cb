// What the GIO-backed seams share: owners for GLib memory and objects, and
// the content type of a file-name extension. Included by *_gio.cpp only.
#ifndef QUORANE_PLATFORM_GIO_H
#define QUORANE_PLATFORM_GIO_H

#include <memory>
#include <string>

#include <gio/gio.h>

namespace quorane::platform {

struct GFree {
    void operator()(gpointer block) const { g_free(block); }
};
using GText = std::unique_ptr<gchar, GFree>;

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// The content type that the shared MIME-info database gives a file name
// carrying `extension`, judged by its glob patterns alone (no content is
// given), or null when it knows none.
inline GText ContentTypeForExtension(const std::string& extension) {
    const std::string name = "file." + extension;
    GText type(g_content_type_guess(name.c_str(), nullptr, 0, nullptr));
    if (type && g_content_type_is_unknown(type.get())) type.reset();
    return type;
}

}  // namespace quorane::platform

#endif  // QUORANE_PLATFORM_GIO_H
