// The two text conversions every family of the library shares.
//
// The wide form of a narrow string is its bytes up to the first NUL decoded
// as UTF-8; the narrow form of a wide string is its units up to the first NUL
// encoded as UTF-8. Ill-formed input (bad byte sequences, surrogates, values
// beyond U+10FFFF) is left out; neither conversion ever reports an error.
#ifndef QUORANE_BASE_TEXT_H
#define QUORANE_BASE_TEXT_H

#include <string>

namespace quorane {

std::wstring WideForm(const std::string& narrow);
std::wstring WideForm(const char* narrow);

std::string NarrowForm(const std::wstring& wide);
std::string NarrowForm(const wchar_t* wide);

}  // namespace quorane

#endif  // QUORANE_BASE_TEXT_H
