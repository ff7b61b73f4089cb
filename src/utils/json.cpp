// JSON value conversion: lenient readers of UTF-8 and wide JSON values with
// caller-given defaults, and the deep copy of a wide value into an allocator.
#include "Utils.h"

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

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/lexical_cast/detail/inf_nan.hpp>
#include <boost/locale/encoding_utf.hpp>
#include <rapidjson/document.h>
#include <rapidjson/writer.h>

namespace {

using quorane::WideJsonValue;

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
    const Ch* nul = std::char_traits<Ch>::find(begin, value.GetStringLength(), Ch(0));
    return std::basic_string<Ch>(begin, nul == nullptr ? begin + value.GetStringLength() : nul);
}

// The readers convert with utf_to_utf alone, leaving out ill-formed UTF-8 and
// units that are not Unicode scalar values.
std::wstring ToWide(const std::string& text) {
    return boost::locale::conv::utf_to_utf<wchar_t>(text, boost::locale::conv::skip);
}
std::wstring ToWide(std::wstring text) { return text; }

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

std::string ToNarrow(const std::wstring& text) {
    using boost::locale::conv::utf_to_utf;
    if (std::any_of(text.begin(), text.end(), IsSurrogate)) {
        return utf_to_utf<char>(JoinSurrogatePairs(text), boost::locale::conv::skip);
    }
    return utf_to_utf<char>(text, boost::locale::conv::skip);
}
std::string ToNarrow(std::string text) { return text; }

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

// Longest "%.22f" text of a double: sign, 309 integer digits of the largest
// double, the point and 22 decimals.
constexpr std::size_t kFixedDoubleChars =
    1 + (std::numeric_limits<double>::max_exponent10 + 1) + 1 + 22;

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
// Compact text of an object.
// ---------------------------------------------------------------------------

// An output stream for RapidJSON's writer that writes into the string which
// becomes the result. Writing into a rapidjson::StringBuffer and copying its
// text out would touch every byte of a large object twice and hold two
// copies of it at once.
template <typename Unit>
class StringOutput {
public:
    using Ch = Unit;

    // Room for `count` units is made at once, before anything is written.
    explicit StringOutput(std::size_t count) {
        text_.resize(count);
        next_ = text_.data();
        end_ = next_ + text_.size();
    }

    void Reserve(std::size_t count) {
        if (static_cast<std::size_t>(end_ - next_) >= count) return;
        // Past the room made at first, it doubles; the text so far is kept.
        const std::size_t used = Used();
        text_.resize(std::max(2 * text_.size(), used + count + 4096));
        next_ = text_.data() + used;
        end_ = text_.data() + text_.size();
    }
    void PutUnsafe(Ch c) { *next_++ = c; }
    void Put(Ch c) {
        Reserve(1);
        PutUnsafe(c);
    }
    void Flush() {}

    // Room for `count` units, to be filled from the cursor returned and
    // handed back with Advance().
    Ch* Room(std::size_t count) {
        Reserve(count);
        return next_;
    }
    void Advance(Ch* next) { next_ = next; }

    // The text written. One that would keep more than a quarter of its size
    // as unused room is copied to fit instead.
    std::basic_string<Ch> Take() {
        text_.resize(Used());
        if (text_.capacity() - text_.size() > text_.size() / 4) text_.shrink_to_fit();
        next_ = end_ = nullptr;
        return std::move(text_);
    }

private:
    std::size_t Used() const { return next_ == nullptr ? 0 : next_ - text_.data(); }

    std::basic_string<Ch> text_;
    Ch* next_ = nullptr;  // where the next unit goes
    Ch* end_ = nullptr;   // end of the room made so far
};

// The writer reserves room before runs of PutUnsafe, as it does for its own
// string buffer; found through argument-dependent lookup.
template <typename Unit>
void PutReserve(StringOutput<Unit>& stream, std::size_t count) {
    stream.Reserve(count);
}
template <typename Unit>
void PutUnsafe(StringOutput<Unit>& stream, Unit c) {
    stream.PutUnsafe(c);
}

// RapidJSON's writer with one change: doubles are written as "%.22f" writes
// them (1.5 as 1.5000000000000000000000) rather than in their shortest form.
// Accept() calls the handler it is given, so this Double() is the one used.
template <typename Encoding>
class FixedDoubleWriter
    : public rapidjson::Writer<StringOutput<typename Encoding::Ch>, Encoding, Encoding> {
public:
    using Buffer = StringOutput<typename Encoding::Ch>;
    using Base = rapidjson::Writer<Buffer, Encoding, Encoding>;
    using Ch = typename Encoding::Ch;

    explicit FixedDoubleWriter(Buffer& buffer) : Base(buffer) {}

    // Strings and keys are written with the base writer's escapes, but
    // through a cursor of their own: the base writer stores every unit
    // through the stream's members, which costs about as much again.
    bool String(const Ch* text, rapidjson::SizeType length, bool = false) {
        Base::Prefix(rapidjson::kStringType);
        return Base::EndValue(WriteEscaped(text, length));
    }
    bool Key(const Ch* text, rapidjson::SizeType length, bool copy = false) {
        return String(text, length, copy);
    }

    bool Double(double d) {
        // The buffer holds the text of every double, the largest included;
        // should to_chars refuse anyway, the object fails as a whole rather
        // than being written short.
        char text[kFixedDoubleChars + 8];
        const std::to_chars_result written =
            std::to_chars(text, text + sizeof text, d, std::chars_format::fixed, 22);
        if (written.ec != std::errc()) return false;
        Ch units[sizeof text];
        const std::size_t length = static_cast<std::size_t>(written.ptr - text);
        std::copy(text, written.ptr, units);
        return Base::RawValue(units, length, rapidjson::kNumberType);
    }

private:
    // Quotes, backslashes and control characters are escaped as the base
    // writer escapes them (\b \t \n \f \r, else \u00XX); every other unit is
    // copied unchanged, as the base writer does within one encoding.
    bool WriteEscaped(const Ch* text, rapidjson::SizeType length) {
        static constexpr char kU = 'u';
        static constexpr char kEscapes[32] = {kU, kU,  kU,  kU, kU, kU, kU, kU, 'b', 't', 'n',
                                              kU, 'f', 'r', kU, kU, kU, kU, kU, kU,  kU,  kU,
                                              kU, kU,  kU,  kU, kU, kU, kU, kU, kU,  kU};
        static constexpr char kHex[] = "0123456789ABCDEF";
        Ch* out = this->os_->Room(2 + static_cast<std::size_t>(length) * 6);
        *out++ = Ch('"');
        for (const Ch* end = text + length; text != end; ++text) {
            const Ch c = *text;
            const unsigned unit =
                sizeof(Ch) == 1 ? static_cast<unsigned char>(c) : static_cast<unsigned>(c);
            if (unit >= 32 && unit != '"' && unit != '\\') {
                *out++ = c;
                continue;
            }
            *out++ = Ch('\\');
            if (unit >= 32) {
                *out++ = c;
                continue;
            }
            *out++ = Ch(kEscapes[unit]);
            if (kEscapes[unit] == kU) {
                *out++ = Ch('0');
                *out++ = Ch('0');
                *out++ = Ch(kHex[unit >> 4]);
                *out++ = Ch(kHex[unit & 15]);
            }
        }
        *out++ = Ch('"');
        this->os_->Advance(out);
        return true;
    }
};

// Decimal digits of an integer's magnitude.
std::size_t DigitCount(std::uint64_t magnitude) {
    std::size_t digits = 1;
    while (magnitude >= 10) {
        magnitude /= 10;
        ++digits;
    }
    return digits;
}

// About the length of the compact text of a value as the writer gives it:
// exact but for the escapes in strings and the digits of doubles, as long as
// no container has more than kSampledChildren children. A larger one is
// estimated from its first children, so that the estimate costs little next
// to the writing.
constexpr std::size_t kSampledChildren = 32;

template <typename Value>
std::size_t EstimatedTextLength(const Value& value) {
    switch (value.GetType()) {
        case rapidjson::kNullType:
        case rapidjson::kTrueType:
            return 4;
        case rapidjson::kFalseType:
            return 5;
        case rapidjson::kStringType:
            return value.GetStringLength() + 2;
        case rapidjson::kNumberType:
            if (value.IsUint64()) return DigitCount(value.GetUint64());
            if (value.IsInt64())
                return 1 + DigitCount(0 - static_cast<std::uint64_t>(value.GetInt64()));
            return 24;
        case rapidjson::kObjectType: {
            const std::size_t count = value.MemberCount();
            const std::size_t sampled = std::min(count, kSampledChildren);
            std::size_t length = 0;  // of the sampled members with their colons and commas
            auto member = value.MemberBegin();
            for (std::size_t i = 0; i < sampled; ++i, ++member)
                length += member->name.GetStringLength() + 4 + EstimatedTextLength(member->value);
            return 2 + (sampled == 0 ? 0 : length / sampled * count);
        }
        case rapidjson::kArrayType: {
            const std::size_t count = value.Size();
            const std::size_t sampled = std::min(count, kSampledChildren);
            std::size_t length = 0;
            for (std::size_t i = 0; i < sampled; ++i) length += 1 + EstimatedTextLength(value[i]);
            return 2 + (sampled == 0 ? 0 : length / sampled * count);
        }
    }
    return 0;
}

template <typename Value>
std::optional<std::basic_string<typename Value::Ch>> ObjectText(const Value& value) {
    using Encoding = typename Value::EncodingType;
    // The room is made once, from an estimate with an eighth to spare for
    // escapes and long numbers.
    const std::size_t expected = EstimatedTextLength(value);
    StringOutput<typename Value::Ch> output(expected + expected / 8 + 64);
    FixedDoubleWriter<Encoding> writer(output);
    if (!value.Accept(writer)) return std::nullopt;
    return output.Take();
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
        if (auto text = ObjectText(value)) return Transcoded<Result>(std::move(*text));
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

// ---------------------------------------------------------------------------
// Deep copy.
// ---------------------------------------------------------------------------

#if defined(__SSE2__)
// The lanes of the four units at `at` that are NUL.
inline __m128i NulLanes(const wchar_t* at) {
    const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    return _mm_cmpeq_epi32(units, _mm_setzero_si128());
}
#endif

// The number of units of `text` before its first NUL, reading no further
// than `length` units. Keys and values of records are mostly a few units
// long, where the call of a library search costs more than its loop: the
// units are tested four at a time, inline, and only a text that holds a NUL
// is searched for the first one.
rapidjson::SizeType WideTextLength(const wchar_t* text, rapidjson::SizeType length) {
    static_assert(sizeof(wchar_t) == 4, "wide strings hold 32-bit units");
#if defined(__SSE2__)
    if (length >= 4) {
        // The first four and the last four units, then the four-unit
        // groups between them: every load lies within the text, and units
        // tested twice do no harm.
        __m128i nuls = _mm_or_si128(NulLanes(text), NulLanes(text + length - 4));
        for (rapidjson::SizeType at = 4; at + 4 < length; at += 4) {
            nuls = _mm_or_si128(nuls, NulLanes(text + at));
        }
        if (_mm_movemask_epi8(nuls) == 0) return length;
    }
#endif
    for (rapidjson::SizeType at = 0; at < length; ++at) {
        if (text[at] == L'\0') return at;
    }
    return length;
}

// Replays `source` as the events of a SAX reader, for a document that builds
// the copy: the document sizes every object and array once, from its final
// member and element count, as RapidJSON's own deep copy does. One level of
// call per level of nesting; strings among members and elements are replayed
// in the loop that meets them, without a call of their own.
class CopyEvents {
public:
    explicit CopyEvents(const WideJsonValue& source) : source_(source) {}

    template <typename Handler>
    bool operator()(Handler& handler) const {
        return Replay(source_, handler);
    }

private:
    template <typename Handler>
    static bool Replay(const WideJsonValue& value, Handler& handler) {
        if (value.IsObject()) {
            if (!handler.StartObject()) return false;
            for (auto member = value.MemberBegin(); member != value.MemberEnd(); ++member) {
                const WideJsonValue& name = member->name;
                if (!handler.Key(name.GetString(), TextLength(name), true)) return false;
                if (!ReplayPart(member->value, handler)) return false;
            }
            return handler.EndObject(value.MemberCount());
        }
        if (value.IsArray()) {
            if (!handler.StartArray()) return false;
            for (auto element = value.Begin(); element != value.End(); ++element) {
                if (!ReplayPart(*element, handler)) return false;
            }
            return handler.EndArray(value.Size());
        }
        return ReplayLeaf(value, handler);
    }

    // A member's value or an element. Strings, the commonest, are replayed
    // here, in the loop that meets them.
    template <typename Handler>
    static bool ReplayPart(const WideJsonValue& value, Handler& handler) {
        switch (value.GetType()) {
            case rapidjson::kStringType:
                return handler.String(value.GetString(), TextLength(value), true);
            case rapidjson::kObjectType:
            case rapidjson::kArrayType:
                return Replay(value, handler);
            default:
                return ReplayLeaf(value, handler);
        }
    }

    // A value that holds no others.
    template <typename Handler>
    static bool ReplayLeaf(const WideJsonValue& value, Handler& handler) {
        switch (value.GetType()) {
            case rapidjson::kStringType:
                return handler.String(value.GetString(), TextLength(value), true);
            case rapidjson::kFalseType:
            case rapidjson::kTrueType:
                return handler.Bool(value.GetBool());
            case rapidjson::kNumberType:
                // The narrowest kind that holds the value: set from it, an
                // integer answers every range test as its source did.
                if (value.IsDouble()) return handler.Double(value.GetDouble());
                if (value.IsInt()) return handler.Int(value.GetInt());
                if (value.IsUint()) return handler.Uint(value.GetUint());
                if (value.IsInt64()) return handler.Int64(value.GetInt64());
                return handler.Uint64(value.GetUint64());
            case rapidjson::kNullType:
                return handler.Null();
            default:
                return false;
        }
    }

    // Strings are copied up to their first NUL (and always copied, constant
    // strings too, so that nothing of the copy refers to the source).
    static rapidjson::SizeType TextLength(const WideJsonValue& value) {
        return WideTextLength(value.GetString(), value.GetStringLength());
    }

    const WideJsonValue& source_;
};

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

void CopyJsonValue(quorane::WideJsonValue& destination, quorane::WideJsonValue& source,
                   quorane::JsonAllocator& allocator) {
    // The copy is built aside, in a document drawing on the caller's allocator,
    // and moved in at the end, so that copying a value onto itself, or into a
    // value nested inside it or around it, reads the source whole before
    // anything of it is overwritten.
    rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>, quorane::JsonAllocator> copy(&allocator);
    const CopyEvents events(source);
    copy.Populate(events);
    destination = static_cast<WideJsonValue&>(copy);
}
