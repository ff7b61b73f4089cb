// What the JSON files share: the compact text of an object value, and the
// walk that replays a value as the events of a reader, whatever its depth.
#ifndef QUORANE_UTILS_JSON_TEXT_H
#define QUORANE_UTILS_JSON_TEXT_H

#include <optional>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include <quorane/Utils.h>

namespace quorane {

// The compact JSON text of `value`, as RapidJSON's writer gives it but with
// doubles as "%.22f" writes them; nothing when the writer refuses the value.
std::optional<std::string> ObjectText(const JsonValue& value);
std::optional<std::wstring> ObjectText(const WideJsonValue& value);

namespace detail {

// One value that holds no others, as its event.
template <typename Value, typename Handler, typename Length>
bool ReplayLeaf(const Value& value, Handler& handler, Length& length) {
    switch (value.GetType()) {
        case rapidjson::kStringType:
            return handler.String(value.GetString(), length(value), true);
        case rapidjson::kFalseType:
            return handler.Bool(false);
        case rapidjson::kTrueType:
            return handler.Bool(true);
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

}  // namespace detail

// Replays `value` to `handler` as a SAX reader would report it, with the
// events and their order of RapidJSON's GenericValue::Accept: members in
// their stored order, each key before its value, every container closed with
// its count of members or elements. Unlike Accept, which calls itself once
// per level, the walk keeps the containers it is inside on the heap, so a
// value of any depth takes the same stack. Strings and keys are handed on
// with the length `length(string value)` gives, and marked to be copied.
// Stops at the first event the handler refuses, and then gives false.
template <typename Value, typename Handler, typename Length>
bool ReplayEvents(const Value& value, Handler& handler, Length length) {
    if (!value.IsObject() && !value.IsArray()) return detail::ReplayLeaf(value, handler, length);

    // A container being replayed, and the place of its next member or element.
    struct Open {
        const Value* container;
        rapidjson::SizeType next;
    };
    std::vector<Open> open;
    open.reserve(16);
    if (!(value.IsObject() ? handler.StartObject() : handler.StartArray())) return false;
    open.push_back({&value, 0});

    while (!open.empty()) {
        Open& top = open.back();
        const Value* child;
        if (top.container->IsObject()) {
            if (top.next == top.container->MemberCount()) {
                const rapidjson::SizeType count = top.next;
                open.pop_back();
                if (!handler.EndObject(count)) return false;
                continue;
            }
            const auto member = top.container->MemberBegin() + top.next++;
            if (!handler.Key(member->name.GetString(), length(member->name), true)) return false;
            child = &member->value;
        } else {
            if (top.next == top.container->Size()) {
                const rapidjson::SizeType count = top.next;
                open.pop_back();
                if (!handler.EndArray(count)) return false;
                continue;
            }
            child = top.container->Begin() + top.next++;
        }
        // `top` is not used past this point: opening a child may move it.
        switch (child->GetType()) {
            case rapidjson::kObjectType:
                if (!handler.StartObject()) return false;
                open.push_back({child, 0});
                break;
            case rapidjson::kArrayType:
                if (!handler.StartArray()) return false;
                open.push_back({child, 0});
                break;
            default:
                if (!detail::ReplayLeaf(*child, handler, length)) return false;
                break;
        }
    }
    return true;
}

}  // namespace quorane

#endif  // QUORANE_UTILS_JSON_TEXT_H
