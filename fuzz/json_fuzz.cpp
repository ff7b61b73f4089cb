// Fuzz target of the JSON readers over UTF-8-flavour documents parsed from
// the fuzz input (and over lone numbers made from raw bits): every reader on
// every value against the value's kind, the value left unchanged; and the
// object text of such a value wrapped up to 100,000 levels deep.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <rapidjson/document.h>

#include <quorane/Utils.h>
#include "FuzzSupport.h"
#include "JsonChecks.h"

namespace {

using Document = rapidjson::GenericDocument<rapidjson::UTF8<char>, quorane::JsonAllocator>;

template <unsigned Flags>
void ParseAndCheck(const std::string& text, const std::optional<quorane::fuzz::Nesting>& nesting) {
    Document document;
    // The iterative parser keeps deep nesting off the stack.
    document.Parse<rapidjson::kParseIterativeFlag | Flags>(text.data(), text.size());
    if (document.HasParseError()) return;
    quorane::JsonValue& root = document;
    quorane::fuzz::CheckReaders(root);
    if (nesting) quorane::fuzz::CheckDeepText(root, *nesting, document.GetAllocator());
}

}  // namespace

// The input's last byte picks the parse flags or the raw number (FuzzedDataProvider takes numbers
// from the end), and may ask for the value to be checked wrapped deep as well, in containers
// that the bytes before it describe; the rest is the text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const quorane::fuzz::ModeByte mode = quorane::fuzz::ConsumeModeByte(input, 4);
    std::optional<quorane::fuzz::Nesting> nesting;
    if (mode.deep && mode.mode != 3) nesting = quorane::fuzz::ConsumeNesting(input);
    switch (mode.mode) {
        case 0:
            ParseAndCheck<rapidjson::kParseDefaultFlags>(input.ConsumeRemainingBytesAsString(),
                                                         nesting);
            break;
        case 1:
            ParseAndCheck<rapidjson::kParseCommentsFlag | rapidjson::kParseTrailingCommasFlag>(
                input.ConsumeRemainingBytesAsString(), nesting);
            break;
        case 2:
            ParseAndCheck<rapidjson::kParseNanAndInfFlag>(input.ConsumeRemainingBytesAsString(),
                                                          nesting);
            break;
        default: {
            quorane::JsonAllocator allocator;
            quorane::fuzz::CheckRawNumber<quorane::JsonValue>(input, allocator);
            break;
        }
    }
    return 0;
}
