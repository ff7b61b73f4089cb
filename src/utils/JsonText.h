// What the JSON files share: the compact text of an object value, and the
// walk that replays a value as the events of a reader, whatever its depth.
#ifndef QUORANE_UTILS_JSON_TEXT_H
#define QUORANE_UTILS_JSON_TEXT_H

#include <cstddef>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <type_traits>

#include <rapidjson/document.h>

#include <quorane/Utils.h>

namespace quorane {

// The compact JSON text of `value`, as RapidJSON's writer gives it but with
// doubles as "%.22f" writes them; nothing when the writer refuses the value.
std::optional<std::string> ObjectText(const JsonValue& value);
std::optional<std::wstring> ObjectText(const WideJsonValue& value);

namespace detail {

// A stack of plain records on the heap that grows with realloc, which can
// often extend the block where it lies instead of copying it; a deep value
// needs one record per level.
template <typename Record>
class RecordStack {
    static_assert(std::is_trivially_copyable_v<Record>, "records are moved as bytes");

public:
    RecordStack() = default;
    RecordStack(const RecordStack&) = delete;
    RecordStack& operator=(const RecordStack&) = delete;
    ~RecordStack() { std::free(records_); }

    bool empty() const { return size_ == 0; }
    Record& back() { return records_[size_ - 1]; }
    void pop_back() { --size_; }
    void push_back(const Record& record) {
        if (size_ == capacity_) Grow();
        records_[size_++] = record;
    }

private:
    void Grow() {
        const std::size_t capacity = capacity_ == 0 ? 16 : capacity_ * 2;
        void* grown = std::realloc(records_, capacity * sizeof(Record));
        if (grown == nullptr) throw std::bad_alloc();
        records_ = static_cast<Record*>(grown);
        capacity_ = capacity;
    }

    Record* records_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// One value that holds no others, as its event. Inlined into the walk: as a
// call of its own it cost the deep copy an eighth of its instructions.
template <typename Value, typename Handler, typename Length>
inline __attribute__((always_inline)) bool ReplayLeaf(const Value& value, Handler& handler,
                                                      Length& length) {
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

    using Member = typename Value::Member;
    // A container being replayed: the next member and the end of the
    // members (an object), or the next element and the end of the elements;
    // and how many there are, for its end event. Kept small: a deep value
    // has as many of them as it has levels.
    struct Open {
        union {
            const Member* member;
            const Value* element;
        } next, end;
        rapidjson::SizeType count;
        bool object;
    };
    detail::RecordStack<Open> open;
    // Opens a container: its start event, and its place on the stack.
    const auto enter = [&](const Value& container) {
        Open opened;
        if (container.IsObject()) {
            opened.next.member = container.MemberBegin().operator->();
            opened.end.member = opened.next.member + container.MemberCount();
            opened.count = container.MemberCount();
            opened.object = true;
            open.push_back(opened);
            return handler.StartObject();
        }
        opened.next.element = container.Begin();
        opened.end.element = container.End();
        opened.count = container.Size();
        opened.object = false;
        open.push_back(opened);
        return handler.StartArray();
    };
    if (!enter(value)) return false;

    while (!open.empty()) {
        Open& top = open.back();
        const Value* child;
        if (top.object) {
            if (top.next.member == top.end.member) {
                const rapidjson::SizeType count = top.count;
                open.pop_back();
                if (!handler.EndObject(count)) return false;
                continue;
            }
            const Member& member = *top.next.member++;
            if (!handler.Key(member.name.GetString(), length(member.name), true)) return false;
            child = &member.value;
        } else {
            if (top.next.element == top.end.element) {
                const rapidjson::SizeType count = top.count;
                open.pop_back();
                if (!handler.EndArray(count)) return false;
                continue;
            }
            child = top.next.element++;
        }
        // `top` is not used past this point: opening a child may move it.
        switch (child->GetType()) {
            case rapidjson::kObjectType:
            case rapidjson::kArrayType:
                if (!enter(*child)) return false;
                break;
            case rapidjson::kStringType:
                // The commonest kind of member and element, replayed here.
                if (!handler.String(child->GetString(), length(*child), true)) return false;
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
