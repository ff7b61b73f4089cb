// Seam: the platform's application registry: which application handles a
// file-name extension, whether a location holds an application, and opening
// an application with items.
#ifndef QUORANE_PLATFORM_APPLICATIONS_H
#define QUORANE_PLATFORM_APPLICATIONS_H

#include <optional>
#include <string>
#include <vector>

namespace quorane::platform {

// The location of the application the registry prefers for files with the
// extension (given without its "."). Nothing when the registry names none.
std::optional<std::string> ApplicationForExtension(const std::string& extension);

// True when an application can be loaded from the location.
bool IsApplication(const std::string& location);

// An item to open with an application.
struct LaunchItem {
    enum class Kind {
        File,       // an existing file-system object that is not a directory
        Directory,  // an existing directory
        Url,        // not on disk: the text is taken as a URL
    };
    std::string text;
    Kind kind = Kind::File;
};

// Opens the application at the location with the items, in order. An item
// that cannot be turned into a URL is left out; no items simply launches the
// application. True when the platform accepted the launch; it does not wait
// for the application.
bool OpenApplication(const std::string& location, const std::vector<LaunchItem>& items);

}  // namespace quorane::platform

#endif  // QUORANE_PLATFORM_APPLICATIONS_H
