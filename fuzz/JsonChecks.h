// Properties of the JSON readers shared by the two JSON fuzz targets: each
// reader applied to every value of a parsed document (member names included)
// against what the value's kind and range say it must give, with two
// different defaults so that "the default" and "a value" can be told apart.
#ifndef QUORANE_FUZZ_JSON_CHECKS_H
#define QUORANE_FUZZ_JSON_CHECKS_H

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/locale/encoding_utf.hpp>
#include <rapidjson/reader.h>
#include <unicode/utf16.h>

#include <quorane/Utils.h>
#include "FuzzSupport.h"
#include "base/Text.h"

namespace quorane::fuzz {

// A string value's units up to its first NUL.
template <typename Value>
std::basic_string<typename Value::Ch> ReadUnits(const Value& value) {
    using Ch = typename Value::Ch;
    const std::basic_string<Ch> stored(value.GetString(), value.GetStringLength());
    return UpToNul(stored);
}

// Whether any value within `value` (itself included, member names too)
// answers `test`. The walk keeps the values still to visit on the heap, as
// every walk here does, so that values of any depth can be checked.
template <typename Value, typename Test>
bool AnyWithin(const Value& value, Test test) {
    using Node = typename Value::ValueType;  // a document's values are plain values
    std::vector<const Node*> pending{&value};
    while (!pending.empty()) {
        const Node* at = pending.back();
        pending.pop_back();
        if (test(*at)) return true;
        if (at->IsArray()) {
            for (const auto& element : at->GetArray()) pending.push_back(&element);
        } else if (at->IsObject()) {
            for (const auto& member : at->GetObject()) {
                pending.push_back(&member.name);
                pending.push_back(&member.value);
            }
        }
    }
    return false;
}

template <typename Value>
bool HasEmbeddedNul(const Value& value) {
    return AnyWithin(value, [](const typename Value::ValueType& v) {
        return v.IsString() && ReadUnits(v).size() != v.GetStringLength();
    });
}

template <typename Value>
bool HasNonFinite(const Value& value) {
    return AnyWithin(value, [](const typename Value::ValueType& v) {
        return v.IsDouble() && !std::isfinite(v.GetDouble());
    });
}

// A description of a value that tells apart everything the readers and the
// copy may look at: kind, every range answer, exact number bits, string units
// up to the first NUL (or all of them), members and elements in order.
template <typename Value>
void DescribeLeaf(const Value& value, std::string& out, bool wholeStrings) {
    char buffer[64];
    switch (value.GetType()) {
        case rapidjson::kNullType:
            out += 'n';
            break;
        case rapidjson::kFalseType:
            out += 'f';
            break;
        case rapidjson::kTrueType:
            out += 't';
            break;
        case rapidjson::kNumberType: {
            uint64_t bits = 0;
            if (value.IsDouble()) {
                const double d = value.GetDouble();
                std::memcpy(&bits, &d, sizeof bits);
            } else {
                bits =
                    value.IsUint64() ? value.GetUint64() : static_cast<uint64_t>(value.GetInt64());
            }
            std::snprintf(buffer, sizeof buffer, "#%d%d%d%d%d:%016llx", value.IsInt(),
                          value.IsUint(), value.IsInt64(), value.IsUint64(), value.IsDouble(),
                          static_cast<unsigned long long>(bits));
            out += buffer;
            break;
        }
        case rapidjson::kStringType: {
            out += "s\"";
            using Ch = typename Value::Ch;
            const std::basic_string<Ch> units =
                wholeStrings ? std::basic_string<Ch>(value.GetString(), value.GetStringLength())
                             : ReadUnits(value);
            for (const Ch c : units) {
                std::snprintf(buffer, sizeof buffer, "%x,",
                              static_cast<unsigned>(static_cast<std::make_unsigned_t<Ch>>(c)));
                out += buffer;
            }
            out += '"';
            break;
        }
        default:
            break;
    }
}

// Containers are described as [element,element,] and {name:value,}.
template <typename Value>
void Describe(const Value& value, std::string& out, bool wholeStrings = false) {
    using Node = typename Value::ValueType;  // a document's values are plain values
    struct Open {
        const Node* container;
        rapidjson::SizeType next;
    };
    std::vector<Open> open;
    const auto start = [&](const Node& v) {
        if (v.IsArray() || v.IsObject()) {
            out += v.IsArray() ? '[' : '{';
            open.push_back({&v, 0});
            return;
        }
        DescribeLeaf(v, out, wholeStrings);
        if (!open.empty()) out += ',';
    };
    start(value);
    while (!open.empty()) {
        Open& top = open.back();
        const Node& container = *top.container;
        if (container.IsArray() ? top.next == container.Size()
                                : top.next == container.MemberCount()) {
            out += container.IsArray() ? ']' : '}';
            open.pop_back();
            if (!open.empty()) out += ',';
            continue;
        }
        const rapidjson::SizeType at = top.next++;
        if (container.IsArray()) {
            start(container[at]);
        } else {
            const auto member = container.MemberBegin() + at;
            DescribeLeaf(member->name, out, wholeStrings);
            out += ':';
            start(member->value);
        }
    }
}

template <typename Value>
std::string Described(const Value& value, bool wholeStrings = false) {
    std::string out;
    Describe(value, out, wholeStrings);
    return out;
}

// The ASCII bytes of a text of either flavour, or nothing when a unit is not
// ASCII (a number's text has none).
template <typename Ch>
std::optional<std::string> Ascii(const std::basic_string<Ch>& text) {
    std::string bytes;
    for (const Ch c : text) {
        // A unit of any width: its own unsigned type keeps every bit of it.
        // NOLINTNEXTLINE(bugprone-signed-char-misuse)
        const auto u = static_cast<std::make_unsigned_t<Ch>>(c);
        if (u == 0 || u > 0x7F) return std::nullopt;
        bytes.push_back(static_cast<char>(u));
    }
    return bytes;
}

// Integer text: optional sign, one or more digits, nothing else. Gives the
// sign and the magnitude, or nothing when the magnitude exceeds 64 bits.
struct IntegerText {
    bool negative;
    uint64_t magnitude;
};
inline std::optional<IntegerText> ReadIntegerText(const std::optional<std::string>& bytes) {
    if (!bytes || bytes->empty()) return std::nullopt;
    std::size_t i = 0;
    const bool negative = (*bytes)[0] == '-';
    if ((*bytes)[0] == '-' || (*bytes)[0] == '+') i = 1;
    if (i == bytes->size()) return std::nullopt;
    uint64_t magnitude = 0;
    for (; i < bytes->size(); ++i) {
        const char c = (*bytes)[i];
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<uint64_t>(c - '0');
        if (magnitude > (std::numeric_limits<uint64_t>::max() - digit) / 10) return std::nullopt;
        magnitude = magnitude * 10 + digit;
    }
    return IntegerText{negative, magnitude};
}

template <typename Int>
std::optional<Int> SignedFromText(const std::optional<std::string>& bytes) {
    const std::optional<IntegerText> text = ReadIntegerText(bytes);
    if (!text) return std::nullopt;
    const auto max = static_cast<uint64_t>(std::numeric_limits<Int>::max());
    if (!text->negative) {
        if (text->magnitude > max) return std::nullopt;
        return static_cast<Int>(text->magnitude);
    }
    if (text->magnitude > max + 1) return std::nullopt;
    if (text->magnitude == max + 1) return std::numeric_limits<Int>::min();
    return static_cast<Int>(-static_cast<int64_t>(text->magnitude));
}

inline std::optional<uint64_t> UnsignedFromText(const std::optional<std::string>& bytes) {
    const std::optional<IntegerText> text = ReadIntegerText(bytes);
    if (!text) return std::nullopt;
    return text->negative ? uint64_t{0} - text->magnitude : text->magnitude;
}

// Strict decimal float syntax: sign, digits with an optional point and
// fraction (at least one digit), optional exponent with digits.
inline bool IsDecimalFloatText(const std::string& text) {
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        std::size_t exponent = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++exponent;
        if (exponent == 0) return false;
    }
    return i == text.size();
}

// The lexical cast's not-a-number word with a payload: an optional sign,
// "nan" in any case, then "(", any units at all, and ")" ending the text.
// strtof reads a payload of letters, digits and underscores only, so this
// form needs its own model.
template <typename Ch>
bool IsNanWithPayload(const std::basic_string<Ch>& text) {
    std::size_t i = 0;
    if (i < text.size() && (text[i] == Ch('+') || text[i] == Ch('-'))) ++i;
    if (text.size() - i < 5) return false;
    for (const char letter : {'n', 'a', 'n'}) {
        if (text[i] != Ch(letter) && text[i] != Ch(letter - 'a' + 'A')) return false;
        ++i;
    }
    return text[i] == Ch('(') && text.back() == Ch(')');
}

inline bool SameFloat(float a, float b) {
    // The bits are compared on purpose: 0 and -0 are not the same float here.
    // NOLINTNEXTLINE(bugprone-suspicious-memory-comparison)
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

// The Unicode scalar values that ICU's UTF-16 decoder reads from wide text
// whose units are code points or surrogate halves (the wide flavour stores a
// character written as a \u escape pair as two surrogate units): each unit up
// to U+FFFF is one UTF-16 unit and each one above is written as its pair, so
// ICU joins every well-formed pair into one code point from U+10000 and
// returns the halves that pair with nothing on their own, which are left out.
// A unit beyond U+10FFFF is no character and separates what is on either side.
inline std::wstring ScalarsByIcu(const std::wstring& text) {
    std::wstring scalars;
    std::u16string segment;
    auto decode = [&] {
        int32_t i = 0;
        const auto length = static_cast<int32_t>(segment.size());
        const char16_t* units = segment.data();
        while (i < length) {
            UChar32 c = 0;
            U16_NEXT(units, i, length, c);
            if (!U_IS_SURROGATE(c)) scalars.push_back(static_cast<wchar_t>(c));
        }
        segment.clear();
    };
    for (const wchar_t unit : text) {
        // A wide unit, not a char: all 32 bits are kept, so that a negative
        // one lands beyond U+10FFFF.
        // NOLINTNEXTLINE(bugprone-signed-char-misuse)
        const auto c = static_cast<uint32_t>(unit);
        if (c > 0x10FFFF) {
            decode();
        } else if (c > 0xFFFF) {
            segment.push_back(static_cast<char16_t>(U16_LEAD(c)));
            segment.push_back(static_cast<char16_t>(U16_TRAIL(c)));
        } else {
            segment.push_back(static_cast<char16_t>(c));
        }
    }
    decode();
    return scalars;
}

// The text a reader must give for a number value ("%.17g" for a double).
template <typename Value>
std::string ExpectedNumberText(const Value& value) {
    if (value.IsUint64()) return std::to_string(value.GetUint64());
    if (value.IsInt64()) return std::to_string(value.GetInt64());
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value.GetDouble());
    return text;
}

// Compact object text read back: the parse must succeed and describe the same
// value, doubles within the 22 decimals the text keeps.
template <typename Value>
void CheckSameButDoubles(const Value& readBack, const Value& originalValue) {
    using Node = typename Value::ValueType;  // a document's values are plain values
    std::vector<std::pair<const Node*, const Node*>> pending{{&readBack, &originalValue}};
    while (!pending.empty()) {
        const Node& read = *pending.back().first;
        const Node& original = *pending.back().second;
        pending.pop_back();
        if (original.IsDouble()) {
            FUZZ_CHECK(read.IsNumber());
            const double a = read.GetDouble();
            const double b = original.GetDouble();
            FUZZ_CHECK(a == b || std::fabs(a - b) <= 1e-22 + std::fabs(b) * 1e-14);
        } else if (original.IsArray()) {
            FUZZ_CHECK(read.IsArray() && read.Size() == original.Size());
            for (rapidjson::SizeType i = 0; i < original.Size(); ++i) {
                pending.emplace_back(&read[i], &original[i]);
            }
        } else if (original.IsObject()) {
            FUZZ_CHECK(read.IsObject() && read.MemberCount() == original.MemberCount());
            auto r = read.MemberBegin();
            for (auto o = original.MemberBegin(); o != original.MemberEnd(); ++o, ++r) {
                FUZZ_CHECK(Described(r->name, true) == Described(o->name, true));
                pending.emplace_back(&r->value, &o->value);
            }
        } else {
            FUZZ_CHECK(Described(read, true) == Described(original, true));
        }
    }
}

template <typename Value>
void CheckObjectText(const Value& value, const std::basic_string<typename Value::Ch>& text) {
    using Ch = typename Value::Ch;
    using Encoding = typename Value::EncodingType;
    // Nothing but the writer's own text: outside strings, no blank at all.
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const Ch c = text[i];
        if (inString) {
            FUZZ_CHECK(static_cast<std::make_unsigned_t<Ch>>(c) >= 0x20);
            if (c == Ch('\\')) {
                ++i;
            } else if (c == Ch('"')) {
                inString = false;
            }
        } else {
            FUZZ_CHECK(c != Ch(' ') && c != Ch('\n') && c != Ch('\t') && c != Ch('\r'));
            if (c == Ch('"')) inString = true;
        }
    }
    if (HasNonFinite(value)) return;
    rapidjson::GenericDocument<Encoding, JsonAllocator> reread;
    // The writer escapes every control unit, so the text holds no NUL to stop
    // at (and RapidJSON's sized parse does not build for wide units). The
    // default number parse is within a few units in the last place, which the
    // comparison allows; the full-precision one misreads "0e88"-like text.
    reread.template Parse<rapidjson::kParseIterativeFlag>(text.c_str());
    FUZZ_CHECK(!reread.HasParseError());
    CheckSameButDoubles(static_cast<const Value&>(reread), value);
    // Doubles are written in fixed notation with 22 decimals, never shortest.
    if (value.MemberCount() > 0 && value.MemberBegin()->value.IsDouble()) {
        const std::basic_string<Ch> point(1, Ch('.'));
        FUZZ_CHECK(text.find(point) != std::basic_string<Ch>::npos);
    }
}

template <typename Value>
void CheckTextReaders(Value& value) {
    using Ch = typename Value::Ch;
    const std::string narrowA = JsonValueToString(value, "\x01narrow-a");
    const std::string narrowB = JsonValueToString(value, "narrow-b");
    const std::wstring wideA = JsonValueToWideString(value, L"\x01wide-a");
    const std::wstring wideB = JsonValueToWideString(value, L"wide-b");

    if (value.IsNull() || value.IsArray()) {
        FUZZ_CHECK(narrowA == "\x01narrow-a" && narrowB == "narrow-b");
        FUZZ_CHECK(wideA == L"\x01wide-a" && wideB == L"wide-b");
        return;
    }
    FUZZ_CHECK(narrowA == narrowB && wideA == wideB);
    FUZZ_CHECK(narrowA.find('\0') == std::string::npos);
    FUZZ_CHECK(wideA.find(L'\0') == std::wstring::npos);

    // The two results carry the same text: the wide one read from the narrow
    // one (UTF-8 flavour), or the narrow one holding the scalar values of the
    // wide one (wide flavour, surrogate pairs joined).
    if constexpr (std::is_same_v<Ch, char>) {
        FUZZ_CHECK(wideA ==
                   boost::locale::conv::utf_to_utf<wchar_t>(narrowA, boost::locale::conv::skip));
        FUZZ_CHECK(IsScalarText(wideA));
    } else {
        FUZZ_CHECK(IsValidUtf8(narrowA));
        FUZZ_CHECK(quorane::WideForm(narrowA) == ScalarsByIcu(wideA));
    }

    const std::basic_string<Ch>& own = [&]() -> const std::basic_string<Ch>& {
        if constexpr (std::is_same_v<Ch, char>) {
            return narrowA;
        } else {
            return wideA;
        }
    }();
    if (value.IsString()) {
        FUZZ_CHECK(own == ReadUnits(value));
    } else if (value.IsBool()) {
        FUZZ_CHECK(narrowA == (value.GetBool() ? "true" : "false"));
    } else if (value.IsNumber()) {
        FUZZ_CHECK(narrowA == ExpectedNumberText(value));
    } else {
        CheckObjectText(value, own);
    }
}

template <typename Value>
void CheckNumberReaders(Value& value) {
    using Ch = typename Value::Ch;
    const std::optional<std::string> ascii =
        value.IsString() ? Ascii(ReadUnits(value)) : std::nullopt;

    // int
    {
        const int a = JsonValueToInt(value, -7);
        const int b = JsonValueToInt(value, 11);
        std::optional<int> expected;
        if (value.IsInt()) {
            expected = value.GetInt();
        } else if (value.IsString()) {
            expected = SignedFromText<int>(ascii);
        }
        FUZZ_CHECK(expected ? a == *expected && b == *expected : a == -7 && b == 11);
    }
    // long, intmax_t
    {
        const long a = JsonValueToLong(value, -7);
        const intmax_t b = JsonValueToIntmax_t(value, 11);
        std::optional<int64_t> expected;
        if (value.IsInt64()) {
            expected = value.GetInt64();
        } else if (value.IsString()) {
            expected = SignedFromText<int64_t>(ascii);
        }
        FUZZ_CHECK(expected ? a == *expected && b == *expected : a == -7 && b == 11);
        FUZZ_CHECK(JsonValueToLong(value, 11) == JsonValueToIntmax_t(value, 11));
    }
    // uintmax_t
    {
        const uintmax_t a = JsonValueToUIntmax_t(value, 7);
        const uintmax_t b = JsonValueToUIntmax_t(value, 11);
        std::optional<uint64_t> expected;
        if (value.IsUint64()) {
            expected = value.GetUint64();
        } else if (value.IsString()) {
            expected = UnsignedFromText(ascii);
        }
        FUZZ_CHECK(expected ? a == *expected && b == *expected : a == 7 && b == 11);
    }
    // float
    {
        const float a = JsonValueToFloat(value, -7.5f);
        const float b = JsonValueToFloat(value, 11.25f);
        const bool fromDefault = SameFloat(a, -7.5f) && SameFloat(b, 11.25f);
        FUZZ_CHECK(fromDefault || SameFloat(a, b));
        if (value.IsString()) {
            if (IsNanWithPayload(ReadUnits(value))) {
                FUZZ_CHECK(std::isnan(a) && std::isnan(b));
            } else if (!fromDefault) {
                // Accepted text reads as strtof reads all of it; only the
                // words for infinity and not-a-number give no finite value.
                FUZZ_CHECK(ascii && !ascii->empty() && (*ascii)[0] != ' ');
                char* end = nullptr;
                const float read = std::strtof(ascii->c_str(), &end);
                FUZZ_CHECK(end == ascii->c_str() + ascii->size());
                FUZZ_CHECK(SameFloat(read, a) || (std::isnan(read) && std::isnan(a)));
                if (!std::isfinite(a)) {
                    FUZZ_CHECK(ascii->find_first_of("iInN") != std::string::npos);
                }
            } else if (ascii && IsDecimalFloatText(*ascii)) {
                errno = 0;
                const float read = std::strtof(ascii->c_str(), nullptr);
                // Well-formed decimal text in range is never refused (the
                // defaults themselves may legitimately be the value read).
                FUZZ_CHECK(errno == ERANGE || !std::isfinite(read) || SameFloat(read, -7.5f));
            }
        } else if (!value.IsNumber()) {
            FUZZ_CHECK(fromDefault);
        } else if (value.IsUint64()) {
            FUZZ_CHECK(SameFloat(a, static_cast<float>(value.GetUint64())));
        } else if (value.IsInt64()) {
            FUZZ_CHECK(SameFloat(a, static_cast<float>(value.GetInt64())));
        } else {
            const double d = value.GetDouble();
            const double largest = std::numeric_limits<float>::max();
            if (d >= -largest && d <= largest) {
                FUZZ_CHECK(SameFloat(a, static_cast<float>(d)));
            } else {
                FUZZ_CHECK(fromDefault);
            }
        }
    }
    // bool
    {
        const bool a = JsonValueToBool(value, false);
        const bool b = JsonValueToBool(value, true);
        if (value.IsBool()) {
            FUZZ_CHECK(a == value.GetBool() && b == value.GetBool());
        } else if (value.IsString()) {
            const std::basic_string<Ch> units = ReadUnits(value);
            bool isFalse = units.size() == 5;
            for (std::size_t i = 0; isFalse && i < 5; ++i) {
                // NOLINTNEXTLINE(bugprone-signed-char-misuse): a unit of any width, kept whole
                const auto u = static_cast<std::make_unsigned_t<Ch>>(units[i]);
                isFalse = u < 0x80 && std::tolower(static_cast<int>(u)) == "false"[i];
            }
            FUZZ_CHECK(a == !isFalse && b == !isFalse);
        } else if (value.IsNumber()) {
            const bool zero = value.IsDouble() ? value.GetDouble() == 0.0
                                               : (value.IsUint64() ? value.GetUint64() == 0
                                                                   : value.GetInt64() == 0);
            FUZZ_CHECK(zero ? !a && b : a && b);
        } else {
            FUZZ_CHECK(!a && b);
        }
    }
}

// Every reader on the value, then on each member name, member and element.
template <typename Value>
void CheckReadersEverywhere(Value& value, int depth = 0) {
    CheckTextReaders(value);
    CheckNumberReaders(value);
    // A deep document is covered well enough by its first levels; the walk
    // stays cheap so that the fuzzer keeps its pace.
    if (depth > 64) return;
    if (value.IsArray()) {
        for (auto& element : value.GetArray()) CheckReadersEverywhere(element, depth + 1);
    } else if (value.IsObject()) {
        for (auto& member : value.GetObject()) {
            CheckReadersEverywhere(member.name, depth + 1);
            CheckReadersEverywhere(member.value, depth + 1);
        }
    }
}

// The readers leave the value exactly as it was, every unit and bit.
template <typename Value>
void CheckReaders(Value& value) {
    const std::string before = Described(value, true);
    CheckReadersEverywhere(value);
    FUZZ_CHECK(Described(value, true) == before);
}

// A lone number value of every range, built from raw bits, so that NaN,
// infinities and the largest magnitudes are reached as well.
template <typename Value>
void CheckRawNumber(FuzzedDataProvider& input, JsonAllocator& allocator) {
    Value number;
    const uint64_t bits = input.ConsumeIntegral<uint64_t>();
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: {
            double d = 0;
            std::memcpy(&d, &bits, sizeof d);
            number.SetDouble(d);
            break;
        }
        case 1:
            number.SetUint64(bits);
            break;
        case 2:
            number.SetInt64(static_cast<int64_t>(bits));
            break;
        default:
            number.SetInt(static_cast<int>(bits));
            break;
    }
    CheckReaders(number);
    // The same number inside an object, to reach the object text's doubles.
    Value object(rapidjson::kObjectType);
    Value name;
    static const typename Value::Ch kName[] = {'n', 0};
    name.SetString(kName, allocator);
    object.AddMember(name, number, allocator);
    CheckReaders(object);
}

// ---------------------------------------------------------------------------
// Deep nesting: a parsed value wrapped many levels deep in containers.
// ---------------------------------------------------------------------------

// The input's mode byte (its last one): the low part picks the target's mode
// as ConsumeIntegralInRange(0, modes - 1) would, and the values 240 to 255
// also ask for the deep checks. Inputs below 240 read as they always did.
struct ModeByte {
    int mode;
    bool deep;
};
inline ModeByte ConsumeModeByte(FuzzedDataProvider& input, int modes) {
    const auto byte = input.ConsumeIntegral<uint8_t>();
    return {byte % modes, byte >= 240};
}

// How deep and in what containers a deep check wraps its value: up to
// 100,000 levels, each an object with the one member "k" or a one-element
// array, as the bits of `shape` say from the innermost level outwards; the
// innermost and the outermost levels are objects.
struct Nesting {
    std::size_t levels;
    uint64_t shape;

    bool IsArray(std::size_t level) const {
        return level != 0 && level + 1 != levels && (shape >> (level % 64) & 1) != 0;
    }
};
inline Nesting ConsumeNesting(FuzzedDataProvider& input) {
    const auto levels = input.ConsumeIntegralInRange<std::size_t>(1, 100000);
    return {levels, input.ConsumeIntegral<uint64_t>()};
}

// Moves `value` into the containers of levels `from` up to `nesting.levels`.
// Each container is built around the one before with a loop; the pool
// allocator frees nothing per value, so that the deep value is also
// destroyed without a call per level.
template <typename Value>
void Wrap(Value& wrapped, const Nesting& nesting, std::size_t from, JsonAllocator& allocator) {
    using Node = typename Value::ValueType;  // a document's values are plain values
    using Ch = typename Value::Ch;
    static const Ch kName[] = {Ch('k'), Ch(0)};
    Node& value = wrapped;
    for (std::size_t level = from; level < nesting.levels; ++level) {
        Node container;
        if (nesting.IsArray(level)) {
            container.SetArray();
            container.Reserve(1, allocator);
            container.PushBack(value, allocator);
        } else {
            container.SetObject();
            container.AddMember(Node(rapidjson::StringRef(kName, 1)), value, allocator);
        }
        value = container;
    }
}

// The texts the containers of levels `from` up write before and after the
// value inside them, outermost first: "{\"k\":" and "}", or "[" and "]".
template <typename Ch>
std::pair<std::basic_string<Ch>, std::basic_string<Ch>> WrapperText(const Nesting& nesting,
                                                                    std::size_t from) {
    std::basic_string<Ch> before, after;
    for (std::size_t level = nesting.levels; level-- > from;) {
        if (nesting.IsArray(level)) {
            before += Ch('[');
        } else {
            for (const char c : {'{', '"', 'k', '"', ':'}) before += Ch(c);
        }
    }
    for (std::size_t level = from; level < nesting.levels; ++level) {
        after += nesting.IsArray(level) ? Ch(']') : Ch('}');
    }
    return {before, after};
}

// The descriptions (Describe above) of the same containers, outermost first.
inline std::pair<std::string, std::string> WrapperDescription(const Nesting& nesting) {
    std::string before, after;
    for (std::size_t level = nesting.levels; level-- > 0;) {
        before += nesting.IsArray(level) ? "[" : "{s\"6b,\":";
    }
    for (std::size_t level = 0; level < nesting.levels; ++level) {
        after += nesting.IsArray(level) ? ",]" : ",}";
    }
    return {before, after};
}

// The value inside the containers of a value wrapped by Wrap().
template <typename Value>
Value& Unwrapped(Value& value, const Nesting& nesting) {
    Value* at = &value;
    for (std::size_t level = nesting.levels; level-- > 0;) {
        at = nesting.IsArray(level) ? &(*at)[0] : &at->MemberBegin()->value;
    }
    return *at;
}

// The text of a value wrapped deep is the text of the value wrapped once,
// inside the text of the other containers: the writer's text of a container
// is its brackets around the text of what it holds, at any depth. Both
// readers of the object text say so; `value` ends up wrapped.
template <typename Value>
void CheckDeepText(Value& value, const Nesting& nesting, JsonAllocator& allocator) {
    Wrap(value, Nesting{1, 0}, 0, allocator);
    const std::string narrow = JsonValueToString(value, "\x01narrow");
    const std::wstring wide = JsonValueToWideString(value, L"\x01wide");
    Wrap(value, nesting, 1, allocator);
    const std::string deepNarrow = JsonValueToString(value, "\x01narrow");
    const std::wstring deepWide = JsonValueToWideString(value, L"\x01wide");
    if (narrow == "\x01narrow") {
        FUZZ_CHECK(deepNarrow == narrow && deepWide == wide);
        return;
    }
    const auto [before, after] = WrapperText<char>(nesting, 1);
    const auto [wideBefore, wideAfter] = WrapperText<wchar_t>(nesting, 1);
    FUZZ_CHECK(deepNarrow.size() == before.size() + narrow.size() + after.size());
    FUZZ_CHECK(deepNarrow == before + narrow + after);
    FUZZ_CHECK(deepWide == wideBefore + wide + wideAfter);
}

}  // namespace quorane::fuzz

#endif  // QUORANE_FUZZ_JSON_CHECKS_H
