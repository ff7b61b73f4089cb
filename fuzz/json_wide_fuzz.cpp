// Fuzz target of the JSON readers and CopyJsonValue over wide-flavour
// documents, parsed either from wide units (any 32-bit unit, surrogates and
// values beyond U+10FFFF included) or from UTF-8 bytes transcoded by the
// parser. The copy must describe the same value, read the same, outlive its
// source, and come out right when it lands on the source itself, inside it,
// or around it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <rapidjson/document.h>

#include <quorane/Utils.h>
#include "FuzzSupport.h"
#include "JsonChecks.h"

namespace {

using quorane::JsonAllocator;
using quorane::WideJsonValue;
using quorane::fuzz::Described;
using WideDocument = rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>, JsonAllocator>;

constexpr unsigned kFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseNanAndInfFlag;

struct Source {
    bool fromUtf8;
    std::string bytes;
    std::wstring units;

    std::unique_ptr<WideDocument> Parse() const {
        auto document = std::make_unique<WideDocument>();
        if (fromUtf8) {
            document->Parse<kFlags, rapidjson::UTF8<char>>(bytes.data(), bytes.size());
        } else {
            // RapidJSON's sized parse does not build for wide units; the units
            // are read up to their first NUL instead.
            document->Parse<kFlags>(units.c_str());
        }
        if (document->HasParseError()) return nullptr;
        return document;
    }
};

// The value's first child (first element or first member's value), if any.
WideJsonValue* FirstChild(WideJsonValue& value) {
    if (value.IsArray() && !value.Empty()) return &value[0];
    if (value.IsObject() && value.MemberCount() > 0) return &value.MemberBegin()->value;
    return nullptr;
}

void CheckSameReadings(WideJsonValue& copy, WideJsonValue& source) {
    FUZZ_CHECK(JsonValueToString(copy, "d") == JsonValueToString(source, "d"));
    FUZZ_CHECK(JsonValueToWideString(copy, L"d") == JsonValueToWideString(source, L"d"));
    FUZZ_CHECK(JsonValueToInt(copy, 3) == JsonValueToInt(source, 3));
    FUZZ_CHECK(JsonValueToLong(copy, 3) == JsonValueToLong(source, 3));
    FUZZ_CHECK(JsonValueToUIntmax_t(copy, 3) == JsonValueToUIntmax_t(source, 3));
    FUZZ_CHECK(quorane::fuzz::SameFloat(JsonValueToFloat(copy, 3), JsonValueToFloat(source, 3)));
    FUZZ_CHECK(JsonValueToBool(copy, true) == JsonValueToBool(source, true));
}

void CheckCopies(const Source& source) {
    std::unique_ptr<WideDocument> document = source.Parse();
    if (!document) return;
    WideJsonValue& root = *document;
    quorane::fuzz::CheckReaders(root);
    const std::string expected = Described(root);

    // Into a value of its own allocator: the same value, strings cut at their
    // first NUL, still whole once the source's memory is gone.
    JsonAllocator allocator;
    WideJsonValue copy;
    CopyJsonValue(copy, root, allocator);
    FUZZ_CHECK(Described(copy, true) == expected);
    if (!quorane::fuzz::HasEmbeddedNul(root)) CheckSameReadings(copy, root);
    document.reset();
    FUZZ_CHECK(Described(copy, true) == expected);

    // Onto itself.
    document = source.Parse();
    CopyJsonValue(*document, *document, document->GetAllocator());
    FUZZ_CHECK(Described(*document, true) == expected);

    // From a value inside the destination, and from around it.
    document = source.Parse();
    if (WideJsonValue* child = FirstChild(*document)) {
        const std::string inner = Described(*child);
        CopyJsonValue(*document, *child, document->GetAllocator());
        FUZZ_CHECK(Described(*document, true) == inner);

        document = source.Parse();
        child = FirstChild(*document);
        CopyJsonValue(*child, *document, document->GetAllocator());
        FUZZ_CHECK(Described(*child, true) == expected);
    }
}

}  // namespace

// The input's last byte picks the source of the document or the raw number (FuzzedDataProvider
// takes numbers from the end); the rest is the text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    switch (input.ConsumeIntegralInRange<int>(0, 2)) {
        case 0: {
            const std::string bytes = input.ConsumeRemainingBytesAsString();
            CheckCopies(Source{false, {}, quorane::fuzz::LooseWide(bytes)});
            break;
        }
        case 1:
            CheckCopies(Source{true, input.ConsumeRemainingBytesAsString(), {}});
            break;
        default: {
            JsonAllocator allocator;
            quorane::fuzz::CheckRawNumber<WideJsonValue>(input, allocator);
            break;
        }
    }
    return 0;
}
