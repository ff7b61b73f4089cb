// Application launching: the handler application of a file, and opening an
// application with items.
#include <quorane/Utils.h>

#include <optional>
#include <utility>

#include <boost/filesystem.hpp>

#include "base/Text.h"
#include "platform/Applications.h"
#include "utils/FileChecks.h"

namespace fs = boost::filesystem;

namespace {

// An application is a directory (a bundle) or a file (a desktop entry);
// whatever else the location leads to is none, and is not handed to the
// registry, whose loader would open it as it is: a FIFO would keep it
// waiting for a writer that may never come.
bool IsApplication(const std::string& location) {
    const quorane::FileKind kind = quorane::OpenWithoutWaiting(location).kind;
    if (kind != quorane::FileKind::Regular && kind != quorane::FileKind::Directory) return false;
    return quorane::platform::IsApplication(location);
}

}  // namespace

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes its arguments by value
std::vector<std::string> GetExecuteCommand(std::wstring path) {
    std::vector<std::string> command;
    const std::string narrowPath = quorane::NarrowForm(path);

    // The extension of the final component, without its ".": report.final.pdf
    // gives "pdf", a name without a dot gives "".
    std::string extension = fs::path(narrowPath).extension().string();
    if (!extension.empty()) extension.erase(0, 1);

    const std::optional<std::string> application =
        quorane::platform::ApplicationForExtension(extension);
    if (!application || !IsApplication(*application)) return command;
    if (application->empty()) return command;

    command.push_back(*application);
    command.push_back(narrowPath);
    return command;
}

bool LaunchApplication(std::vector<std::string> command) {
    if (command.empty()) return false;
    const std::string& application = command.front();
    if (!IsApplication(application)) return false;

    using quorane::platform::LaunchItem;
    std::vector<LaunchItem> items;
    items.reserve(command.size() - 1);
    for (auto element = command.begin() + 1; element != command.end(); ++element) {
        // Throws when the status cannot be read for a reason other than the
        // element's absence; the caller is told rather than given a guess.
        const fs::file_status status = fs::status(*element);
        LaunchItem::Kind kind = LaunchItem::Kind::File;
        if (!fs::exists(status)) {
            kind = LaunchItem::Kind::Url;
        } else if (fs::is_directory(status)) {
            kind = LaunchItem::Kind::Directory;
        }
        items.push_back(LaunchItem{std::move(*element), kind});
    }
    return quorane::platform::OpenApplication(application, items);
}

bool ExecuteFile(std::wstring path, bool /*flag*/) {
    try {
        if (!fs::exists(fs::status(quorane::NarrowForm(path)))) return false;
        return LaunchApplication(GetExecuteCommand(std::move(path)));
    } catch (const fs::filesystem_error&) {
        return false;
    }
}
