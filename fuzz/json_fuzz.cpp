// Fuzz target of the JSON readers over UTF-8-flavour documents parsed from
// the fuzz input (and over lone numbers made from raw bits): every reader on
// every value against the value's kind, the value left unchanged.
#include <cstddef>
#include <cstdint>
#include <string>

#include <rapidjson/document.h>

#include <quorane/Utils.h>
#include "FuzzSupport.h"
#include "JsonChecks.h"

namespace {

using Document = rapidjson::GenericDocument<rapidjson::UTF8<char>, quorane::JsonAllocator>;

template <unsigned Flags>
void ParseAndCheck(const std::string& text) {
    Document document;
    // The iterative parser keeps deep nesting off the stack.
    document.Parse<rapidjson::kParseIterativeFlag | Flags>(text.data(), text.size());
    if (document.HasParseError()) return;
    quorane::JsonValue& root = document;
    quorane::fuzz::CheckReaders(root);
}

}  // namespace

// The input's last byte picks the parse flags or the raw number (FuzzedDataProvider takes numbers
// from the end); the rest is the text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            ParseAndCheck<rapidjson::kParseDefaultFlags>(input.ConsumeRemainingBytesAsString());
            break;
        case 1:
            ParseAndCheck<rapidjson::kParseCommentsFlag | rapidjson::kParseTrailingCommasFlag>(
                input.ConsumeRemainingBytesAsString());
            break;
        case 2:
            ParseAndCheck<rapidjson::kParseNanAndInfFlag>(input.ConsumeRemainingBytesAsString());
            break;
        default: {
            quorane::JsonAllocator allocator;
            quorane::fuzz::CheckRawNumber<quorane::JsonValue>(input, allocator);
            break;
        }
    }
    return 0;
}
