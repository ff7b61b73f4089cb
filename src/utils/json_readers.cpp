// The lenient JSON readers: a value of either flavour as text, integer,
// float or truth value, or the caller's default where it gives none.
#include <quorane/Utils.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <ios>
#include <limits>
#include <locale>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/lexical_cast/detail/inf_nan.hpp>
#include <rapidjson/document.h>

#include "base/NulLength.h"
#include "base/Text.h"
#include "utils/JsonText.h"

namespace {

// ---------------------------------------------------------------------------
// Text of values and transcoding between the flavours.
// ---------------------------------------------------------------------------

// A string value's text up to its first NUL. The search stops at the stored
// length as well: a value may refer to constant text (a string reference)
// that has no NUL right behind it.
template <typename Value>
std::basic_string<typename Value::Ch> StoredText(const Value& value) {
    using Ch = typename Value::Ch;
    const Ch* begin = value.GetString();
    return std::basic_string<Ch>(begin, quorane::UnitsBeforeNul(begin, value.GetStringLength()));
}

bool IsSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// RapidJSON's wide flavour is UTF-16 by its rules: the parser stores a
// character beyond U+FFFF that was written as a \u escape pair as two
// surrogate units. Each well-formed pair is joined into its one code point
// here, so that such characters are not skipped as invalid; a lone surrogate
// still is.
std::wstring JoinSurrogatePairs(const std::wstring& text) {
    std::wstring joined;
    joined.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            joined.push_back(
                static_cast<wchar_t>(0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00)));
            ++i;
        } else {
            joined.push_back(c);
        }
    }
    return joined;
}

// The texts the readers convert hold no NUL (strings are cut at the first
// one, and the writer escapes it), so the shared conversions, which stop at a
// NUL, see them whole.
std::string ToNarrow(const std::wstring& text) {
    if (std::any_of(text.begin(), text.end(), IsSurrogate))
        return quorane::NarrowForm(JoinSurrogatePairs(text));
    return quorane::NarrowForm(text);
}
std::string ToNarrow(std::string text) { return text; }

std::wstring ToWide(const std::string& text) { return quorane::WideForm(text); }
std::wstring ToWide(std::wstring text) { return text; }

// Text already in the result's flavour is moved, not copied.
template <typename Result, typename Ch>
Result Transcoded(std::basic_string<Ch> text) {
    if constexpr (std::is_same_v<Result, std::string>) {
        return ToNarrow(std::move(text));
    } else {
        return ToWide(std::move(text));
    }
}

// ---------------------------------------------------------------------------
// Number text. It never depends on the global locale: integers and doubles
// are written with std::to_chars (the "C" locale's printf forms), integers
// read with std::from_chars, and floats through a classic-locale stream.
// ---------------------------------------------------------------------------

// A number value as decimal text: integers in plain digits, doubles as
// "%.17g" writes them.
template <typename Value>
std::string NumberText(const Value& value) {
    char text[64];
    std::to_chars_result written{};
    if (value.IsUint64()) {
        written = std::to_chars(text, text + sizeof text, value.GetUint64());
    } else if (value.IsInt64()) {
        written = std::to_chars(text, text + sizeof text, value.GetInt64());
    } else {
        written = std::to_chars(text, text + sizeof text, value.GetDouble(),
                                std::chars_format::general, 17);
    }
    return std::string(text, written.ptr);
}

// The digits of a text of any flavour as bytes, or nothing when a unit is not
// ASCII (and so cannot be part of a number).
template <typename Ch>
std::optional<std::string> AsciiText(const std::basic_string<Ch>& text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (const Ch c : text) {
        if (static_cast<std::make_unsigned_t<Ch>>(c) > 0x7F) return std::nullopt;
        bytes.push_back(static_cast<char>(c));
    }
    return bytes;
}

// Integer text as the lexical cast reads it: an optional sign, then one or
// more decimal digits and nothing else. A signed target must hold the value;
// an unsigned one takes a negative text modulo 2^N, its magnitude fitting N
// bits ("-1" is the largest value).
template <typename Int, typename Ch>
std::optional<Int> ParseInteger(const std::basic_string<Ch>& text) {
    using Unsigned = std::make_unsigned_t<Int>;
    const std::optional<std::string> bytes = AsciiText(text);
    if (!bytes || bytes->empty()) return std::nullopt;

    const char* begin = bytes->data();
    const char* const end = begin + bytes->size();
    const bool negative = *begin == '-';
    if (negative || *begin == '+') ++begin;
    // from_chars reads no sign of its own for unsigned targets, so "+-5" and
    // "--5" fail here as they should.
    Unsigned magnitude = 0;
    const std::from_chars_result read = std::from_chars(begin, end, magnitude);
    if (read.ec != std::errc() || read.ptr != end) return std::nullopt;

    if constexpr (std::is_signed_v<Int>) {
        constexpr Unsigned kMax = static_cast<Unsigned>(std::numeric_limits<Int>::max());
        if (!negative) {
            if (magnitude > kMax) return std::nullopt;
            return static_cast<Int>(magnitude);
        }
        if (magnitude > kMax + 1) return std::nullopt;
        if (magnitude == kMax + 1) return std::numeric_limits<Int>::min();
        return static_cast<Int>(-static_cast<Int>(magnitude));
    } else {
        return negative ? static_cast<Int>(Unsigned{0} - magnitude) : magnitude;
    }
}

// Float text as the lexical cast reads it, with the classic locale instead of
// the global one: first the words for infinity and not-a-number, then the
// stream extraction of a float, with no blanks and nothing left over. Texts
// ending in an exponent mark or its sign ("1e", "1e+") are refused, as the
// lexical cast refuses them on every library.
//
// Any other text that reads as a number is ASCII, so it is extracted from a
// narrow stream. A wide stream would take a unit equal to its end-of-file
// mark (0xFFFFFFFF) for the end of the text, and so accept "0.5" followed by
// that unit and anything at all, as the lexical cast does.
template <typename Ch>
std::optional<float> ParseFloat(const std::basic_string<Ch>& text) {
    if (text.empty()) return std::nullopt;
    float value = 0;
    if (boost::detail::parse_inf_nan(text.data(), text.data() + text.size(), value)) return value;

    const std::optional<std::string> bytes = AsciiText(text);
    if (!bytes) return std::nullopt;
    std::istringstream in(*bytes);
    in.imbue(std::locale::classic());
    in.unsetf(std::ios::skipws);
    if (!(in >> value) || in.get() != std::char_traits<char>::eof()) return std::nullopt;
    const Ch last = text.back();
    if (last == Ch('e') || last == Ch('E') || last == Ch('+') || last == Ch('-')) {
        return std::nullopt;
    }
    return value;
}

// ---------------------------------------------------------------------------
// The readers, shared by both flavours.
// ---------------------------------------------------------------------------

template <typename Result, typename Value>
Result ReadText(const Value& value, Result result) {
    if (value.IsString()) return Transcoded<Result>(StoredText(value));
    if (value.IsBool()) return Transcoded<Result>(std::string(value.GetBool() ? "true" : "false"));
    if (value.IsNumber()) return Transcoded<Result>(NumberText(value));
    if (value.IsObject()) {
        if (auto text = quorane::ObjectText(value)) return Transcoded<Result>(std::move(*text));
    }
    return result;
}

template <typename Value>
int ReadInt(const Value& value, int fallback) {
    if (value.IsInt()) return value.GetInt();
    if (value.IsString()) return ParseInteger<int>(StoredText(value)).value_or(fallback);
    return fallback;
}

template <typename Value>
std::int64_t ReadInt64(const Value& value, std::int64_t fallback) {
    if (value.IsInt64()) return value.GetInt64();
    if (value.IsString()) return ParseInteger<std::int64_t>(StoredText(value)).value_or(fallback);
    return fallback;
}

template <typename Value>
std::uint64_t ReadUint64(const Value& value, std::uint64_t fallback) {
    if (value.IsUint64()) return value.GetUint64();
    if (value.IsString()) return ParseInteger<std::uint64_t>(StoredText(value)).value_or(fallback);
    return fallback;
}

template <typename Value>
float ReadFloat(const Value& value, float fallback) {
    if (value.IsString()) return ParseFloat(StoredText(value)).value_or(fallback);
    if (!value.IsNumber()) return fallback;
    if (value.IsUint64()) return static_cast<float>(value.GetUint64());
    if (value.IsInt64()) return static_cast<float>(value.GetInt64());
    // A double beyond the float range (or not a number at all) has no float.
    const double d = value.GetDouble();
    constexpr double kLargest = std::numeric_limits<float>::max();
    if (d >= -kLargest && d <= kLargest) return static_cast<float>(d);
    return fallback;
}

template <typename Value>
bool IsNonZero(const Value& value) {
    if (value.IsUint64()) return value.GetUint64() != 0;
    if (value.IsInt64()) return value.GetInt64() != 0;
    return value.GetDouble() != 0.0;
}

template <typename Value>
bool ReadBool(const Value& value, bool fallback) {
    using Ch = typename Value::Ch;
    if (value.IsBool()) return value.GetBool();
    if (value.IsString()) {
        const std::basic_string<Ch> lower = boost::algorithm::to_lower_copy(StoredText(value));
        static const Ch kFalse[] = {Ch('f'), Ch('a'), Ch('l'), Ch('s'), Ch('e'), Ch(0)};
        return lower != kFalse;
    }
    // Every number is tested by its own value, whatever its range: non-zero is
    // true, zero leaves the decision to the default.
    if (value.IsNumber()) return IsNonZero(value) ? true : fallback;
    return fallback;
}

}  // namespace

std::wstring JsonValueToWideString(quorane::JsonValue& value, std::wstring defaultValue) {
    return ReadText(value, std::move(defaultValue));
}

std::wstring JsonValueToWideString(quorane::WideJsonValue& value, std::wstring defaultValue) {
    return ReadText(value, std::move(defaultValue));
}

std::string JsonValueToString(quorane::JsonValue& value, std::string defaultValue) {
    return ReadText(value, std::move(defaultValue));
}

std::string JsonValueToString(quorane::WideJsonValue& value, std::string defaultValue) {
    return ReadText(value, std::move(defaultValue));
}

int JsonValueToInt(quorane::JsonValue& value, int defaultValue) {
    return ReadInt(value, defaultValue);
}

int JsonValueToInt(quorane::WideJsonValue& value, int defaultValue) {
    return ReadInt(value, defaultValue);
}

long JsonValueToLong(quorane::JsonValue& value, long defaultValue) {
    return ReadInt64(value, defaultValue);
}

long JsonValueToLong(quorane::WideJsonValue& value, long defaultValue) {
    return ReadInt64(value, defaultValue);
}

intmax_t JsonValueToIntmax_t(quorane::JsonValue& value, intmax_t defaultValue) {
    return ReadInt64(value, defaultValue);
}

intmax_t JsonValueToIntmax_t(quorane::WideJsonValue& value, intmax_t defaultValue) {
    return ReadInt64(value, defaultValue);
}

uintmax_t JsonValueToUIntmax_t(quorane::JsonValue& value, uintmax_t defaultValue) {
    return ReadUint64(value, defaultValue);
}

uintmax_t JsonValueToUIntmax_t(quorane::WideJsonValue& value, uintmax_t defaultValue) {
    return ReadUint64(value, defaultValue);
}

float JsonValueToFloat(quorane::JsonValue& value, float defaultValue) {
    return ReadFloat(value, defaultValue);
}

float JsonValueToFloat(quorane::WideJsonValue& value, float defaultValue) {
    return ReadFloat(value, defaultValue);
}

bool JsonValueToBool(quorane::JsonValue& value, bool defaultValue) {
    return ReadBool(value, defaultValue);
}

bool JsonValueToBool(quorane::WideJsonValue& value, bool defaultValue) {
    return ReadBool(value, defaultValue);
}
