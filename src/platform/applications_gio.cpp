// The application registry through GIO: desktop entries, the shared MIME-info
// database and the defaults of mimeapps.list. An application's location is
// the path of its desktop entry file.
#include "platform/Applications.h"

#include <memory>

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include "platform/Gio.h"

namespace quorane::platform {
namespace {

struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};

struct UriListFree {
    void operator()(GList* list) const { g_list_free_full(list, g_free); }
};

// The URI an item is handed over as, or nothing when it has none.
GText ItemUri(const LaunchItem& item) {
    if (item.kind == LaunchItem::Kind::Url) {
        // A missing item is passed on as the URL its text spells; text that is
        // not an absolute URI cannot be, and is left out.
        if (!g_uri_is_valid(item.text.c_str(), G_URI_FLAGS_NONE, nullptr)) return nullptr;
        return GText(g_strdup(item.text.c_str()));
    }
    const GObjectPtr<GFile> file(g_file_new_for_path(item.text.c_str()));
    GText uri(g_file_get_uri(file.get()));
    if (item.kind == LaunchItem::Kind::Directory && uri && !g_str_has_suffix(uri.get(), "/")) {
        // Directories travel as directory URLs, with their closing "/".
        uri.reset(g_strconcat(uri.get(), "/", nullptr));
    }
    return uri;
}

}  // namespace

std::optional<std::string> ApplicationForExtension(const std::string& extension) {
    const GText type = ContentTypeForExtension(extension);
    if (!type) return std::nullopt;

    const GObjectPtr<GAppInfo> app(g_app_info_get_default_for_type(type.get(), FALSE));
    if (!app || !G_IS_DESKTOP_APP_INFO(app.get())) return std::nullopt;
    const char* location = g_desktop_app_info_get_filename(G_DESKTOP_APP_INFO(app.get()));
    if (location == nullptr) return std::nullopt;
    return std::string(location);
}

bool IsApplication(const std::string& location) {
    if (location.empty()) return false;
    const GObjectPtr<GDesktopAppInfo> app(g_desktop_app_info_new_from_filename(location.c_str()));
    return app != nullptr;
}

bool OpenApplication(const std::string& location, const std::vector<LaunchItem>& items) {
    if (location.empty()) return false;
    const GObjectPtr<GDesktopAppInfo> app(g_desktop_app_info_new_from_filename(location.c_str()));
    if (!app) return false;

    std::unique_ptr<GList, UriListFree> uris;
    for (const LaunchItem& item : items) {
        if (GText uri = ItemUri(item)) {
            // The list takes the block; prepending and reversing keeps it linear.
            uris.reset(g_list_prepend(uris.release(), uri.release()));
        }
    }
    uris.reset(g_list_reverse(uris.release()));

    GError* raw = nullptr;
    const bool launched = g_app_info_launch_uris(G_APP_INFO(app.get()), uris.get(), nullptr, &raw);
    const std::unique_ptr<GError, GErrorFree> error(raw);
    return launched;
}

}  // namespace quorane::platform
