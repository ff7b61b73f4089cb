// The deep copy of a wide JSON value into an allocator.
#include <quorane/Utils.h>

#include <cstddef>

#include <rapidjson/document.h>

#include "base/NulLength.h"
#include "utils/JsonText.h"

namespace {

using quorane::UnitsBeforeNul;
using quorane::WideJsonValue;

// Replays `source` as the events of a SAX reader, for a document that builds
// the copy: the document sizes every object and array once, from its final
// member and element count, as RapidJSON's own deep copy does. The replay
// and the document both keep their place in the value on the heap, so a
// source of any depth is copied on the same stack.
class CopyEvents {
public:
    explicit CopyEvents(const WideJsonValue& source) : source_(source) {}

    template <typename Handler>
    bool operator()(Handler& handler) const {
        // A lambda rather than the function itself, so that the call is inlined.
        return quorane::ReplayEvents(source_, handler,
                                     [](const WideJsonValue& text) { return TextLength(text); });
    }

private:
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
