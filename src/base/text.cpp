// Narrow (UTF-8) and wide (one code point per unit) text conversions.
#include "base/Text.h"

#include <cstring>
#include <cwchar>

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
    // utf_to_utf under the skip policy leaves out every unit that is not a
    // scalar value, so what it gives is valid UTF-8 without NUL bytes, which
    // a charset conversion from "UTF-8" hands back unchanged (the text tests
    // hold the two to the same answers): none is needed.
    return conv::utf_to_utf<char>(wide, wide + std::wcslen(wide), conv::skip);
}

std::string NarrowForm(const std::wstring& wide) { return NarrowForm(wide.c_str()); }

}  // namespace quorane
