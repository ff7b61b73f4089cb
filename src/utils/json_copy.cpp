// The deep copy of a wide JSON value into an allocator.
#include <quorane/Utils.h>

#include <cstddef>

#include <rapidjson/document.h>

#include "base/NulLength.h"

namespace {

using quorane::UnitsBeforeNul;
using quorane::WideJsonValue;

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
        return static_cast<rapidjson::SizeType>(
            UnitsBeforeNul(value.GetString(), value.GetStringLength()));
    }

    const WideJsonValue& source_;
};

}  // namespace

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
