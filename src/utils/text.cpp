// Narrow (UTF-8) and wide (one code point per unit) text conversions.
#include "Text.h"

#include <cstring>
#include <cwchar>

#include <boost/locale/encoding.hpp>
#include <boost/locale/encoding_utf.hpp>

namespace quorane {

namespace conv = boost::locale::conv;

std::wstring WideForm(const char* narrow) {
    if (narrow == nullptr) return {};
    return conv::utf_to_utf<wchar_t>(narrow, narrow + std::strlen(narrow), conv::skip);
}

std::wstring WideForm(const std::string& narrow) { return WideForm(narrow.c_str()); }

std::string NarrowForm(const wchar_t* wide) {
    if (wide == nullptr) return {};
    const std::string utf8 = conv::utf_to_utf<char>(wide, wide + std::wcslen(wide), conv::skip);
    // The encoded text goes once more through the charset converter, which
    // hands valid UTF-8 back unchanged; it is the same path every other narrow
    // conversion of the library takes.
    const char* begin = utf8.c_str();
    return conv::to_utf<char>(begin, begin + std::strlen(begin), "UTF-8", conv::skip);
}

std::string NarrowForm(const std::wstring& wide) { return NarrowForm(wide.c_str()); }

}  // namespace quorane
