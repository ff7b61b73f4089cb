// The path of a target relative to a base directory, in composed Unicode form.
#include <quorane/Utils.h>

#include <string>

#include <boost/filesystem.hpp>

#include "base/Text.h"

namespace fs = boost::filesystem;

namespace {

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.compare(0, std::char_traits<wchar_t>::length(prefix), prefix) == 0;
}

// When the paths cannot be resolved, the base is looked for in the target's
// text as it stands; what follows it is the answer.
std::wstring TextualSubDirectory(const fs::path& base, const fs::path& target) {
    const std::string& t = target.native();
    const std::string& b = base.native();
    const size_t found = t.find(b);
    if (found == std::string::npos) return {};
    std::string rest = t.substr(found + b.size());
    if (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
    return quorane::WideForm(NfdToNfc(rest));
}

}  // namespace

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes its arguments by value
std::wstring GetSubDirectory(fs::path base, fs::path target) {
    std::string relative;
    try {
        relative = fs::relative(target, base).string();
    } catch (const fs::filesystem_error&) {
        return TextualSubDirectory(base, target);
    }
    std::wstring w = quorane::WideForm(NfdToNfc(relative));
    // Outside the base: ".." alone, or a path that starts by going up.
    if (w == L".." || StartsWith(w, L"..\\") || StartsWith(w, L"../")) return {};
    if (w == L".") {
        w.clear();
    } else if (StartsWith(w, L".\\") || StartsWith(w, L"./")) {
        w.erase(0, 1);
    }
    if (StartsWith(w, L"/")) w.erase(0, 1);
    return w;
}
