// The compact text of an object value, written straight into the string
// that becomes the result.
#include "utils/JsonText.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include <rapidjson/document.h>
#include <rapidjson/writer.h>

namespace {

// Longest "%.22f" text of a double: sign, 309 integer digits of the largest
// double, the point and 22 decimals.
constexpr std::size_t kFixedDoubleChars =
    1 + (std::numeric_limits<double>::max_exponent10 + 1) + 1 + 22;

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
// The walk of the value calls the handler it is given, so these String(),
// Key() and Double() are the ones used.
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

// The length of a value that holds no others.
template <typename Value>
std::size_t LeafTextLength(const Value& value) {
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
        default:
            return 0;
    }
}

// A container's length is its brackets and its sampled children, with their
// keys, colons and commas, scaled to all its children. The containers being
// estimated are kept on the heap, so the depth of the value costs no stack.
template <typename Value>
std::size_t EstimatedTextLength(const Value& value) {
    if (!value.IsObject() && !value.IsArray()) return LeafTextLength(value);
    struct Open {
        const Value* container;
        rapidjson::SizeType count;    // of its children
        rapidjson::SizeType sampled;  // of its children that are estimated
        rapidjson::SizeType next;     // the next child to estimate
        std::size_t length;           // of the children estimated so far
    };
    const auto opened = [](const Value& container) {
        const rapidjson::SizeType count =
            container.IsObject() ? container.MemberCount() : container.Size();
        const auto sampled =
            static_cast<rapidjson::SizeType>(std::min<std::size_t>(count, kSampledChildren));
        return Open{&container, count, sampled, 0, 0};
    };
    quorane::detail::RecordStack<Open> open;
    open.push_back(opened(value));
    for (;;) {
        Open& top = open.back();
        if (top.next == top.sampled) {
            const std::size_t length =
                2 + (top.sampled == 0 ? 0 : top.length / top.sampled * std::size_t{top.count});
            open.pop_back();
            if (open.empty()) return length;
            open.back().length += length;
            continue;
        }
        const Value* child;
        if (top.container->IsObject()) {
            const auto member = top.container->MemberBegin() + top.next++;
            top.length += member->name.GetStringLength() + 4;
            child = &member->value;
        } else {
            child = top.container->Begin() + top.next++;
            top.length += 1;
        }
        if (child->IsObject() || child->IsArray()) {
            open.push_back(opened(*child));
        } else {
            top.length += LeafTextLength(*child);
        }
    }
}

template <typename Value>
std::optional<std::basic_string<typename Value::Ch>> ObjectTextOf(const Value& value) {
    using Encoding = typename Value::EncodingType;
    // The room is made once, from an estimate with an eighth to spare for
    // escapes and long numbers.
    const std::size_t expected = EstimatedTextLength(value);
    StringOutput<typename Value::Ch> output(expected + expected / 8 + 64);
    FixedDoubleWriter<Encoding> writer(output);
    // The writer is driven by the walk of the value rather than by its
    // Accept(), which would call itself once per level of nesting.
    const auto length = [](const Value& text) { return text.GetStringLength(); };
    if (!quorane::ReplayEvents(value, writer, length)) return std::nullopt;
    return output.Take();
}

}  // namespace

namespace quorane {

std::optional<std::string> ObjectText(const JsonValue& value) { return ObjectTextOf(value); }

std::optional<std::wstring> ObjectText(const WideJsonValue& value) { return ObjectTextOf(value); }

}  // namespace quorane
