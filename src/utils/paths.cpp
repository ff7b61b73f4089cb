// Path strings: joining, directory part, separator conversion, home directory.
#include <quorane/Utils.h>

#include <cstdlib>
#include <string>

#include "base/Text.h"

namespace {

// The join rule shared by both string kinds: the part alone for an empty base,
// the base alone for an empty part, otherwise base + "/" + part with the "/"
// left out when either side already has one at the join.
template <typename String>
String Join(String base, const String& part) {
    using Char = typename String::value_type;
    if (base.empty()) return part;
    if (part.empty()) return base;
    const Char slash = static_cast<Char>('/');
    if (base.back() != slash && part.front() != slash) base.push_back(slash);
    base += part;
    return base;
}

}  // namespace

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes its arguments by value
std::wstring AppendPath(std::wstring base, std::wstring part) {
    return Join(std::move(base), part);
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes its arguments by value
std::wstring AppendPath(std::wstring base, std::string part) {
    if (base.empty()) return quorane::WideForm(part);
    if (part.empty()) return base;
    // The part is known to be non-empty, so the separator is decided by the
    // base alone when its conversion leaves nothing: "a" + <bad bytes> is "a/".
    const std::wstring widePart = quorane::WideForm(part);
    if (base.back() != L'/' && (widePart.empty() || widePart.front() != L'/')) base.push_back(L'/');
    base += widePart;
    return base;
}

std::wstring AppendPath(std::string base, std::string part) {
    return quorane::WideForm(AppendPathToString(std::move(base), std::move(part)));
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes its arguments by value
std::wstring AppendPath(std::string base, std::wstring part) {
    return AppendPath(quorane::WideForm(base), std::move(part));
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes its arguments by value
std::string AppendPathToString(std::string base, std::string part) {
    return Join(std::move(base), part);
}

std::string AppendPathToString(std::wstring base, std::wstring part) {
    return quorane::NarrowForm(AppendPath(std::move(base), std::move(part)));
}

std::string AppendPathToString(std::wstring base, std::string part) {
    return quorane::NarrowForm(AppendPath(std::move(base), std::move(part)));
}

std::string AppendPathToString(std::string base, std::wstring part) {
    return quorane::NarrowForm(AppendPath(std::move(base), std::move(part)));
}

std::wstring ExtractFilePath(std::wstring path) {
    std::wstring::size_type cut = path.rfind(L'\\');
    if (cut == std::wstring::npos) cut = path.rfind(L'/');
    if (cut == std::wstring::npos) return {};
    path.resize(cut + 1);
    return path;
}

std::wstring ConvertFilePath(std::wstring path) {
    for (wchar_t& c : path) {
        if (c == L'\\') c = L'/';
    }
    return path;
}

std::string GetHomeDir() {
    // The interface reads the process environment; getenv is safe as long as
    // no thread changes the environment meanwhile, which is the caller's part.
    for (const char* name : {"HOME", "HOMEDRIVE"}) {
        const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
        if (value != nullptr && *value != '\0') return value;
    }
    const char* homePath = std::getenv("HOMEPATH");  // NOLINT(concurrency-mt-unsafe)
    return homePath != nullptr ? homePath : "";
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes its arguments by value
std::wstring GetUniversalName(std::wstring /*path*/, std::wstring& /*server*/,
                              std::wstring& /*share*/) {
    return {};
}
