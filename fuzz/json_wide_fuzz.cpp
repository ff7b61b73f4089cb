// Fuzz target of the JSON readers and CopyJsonValue over wide-flavour
// documents, parsed either from wide units (any 32-bit unit, surrogates and
// values beyond U+10FFFF included) or from UTF-8 bytes transcoded by the
// parser. The copy must describe the same value, read the same, outlive its
// source, and come out right when it lands on the source itself, inside it,
// or around it; and all of that again for the value wrapped up to 100,000
// levels deep.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <rapidjson/document.h>

#include <quorane/Utils.h>
#include "FuzzSupport.h"
#include "JsonChecks.h"

namespace {

using quorane::JsonAllocator;
using quorane::WideJsonValue;
using quorane::fuzz::Described;
using quorane::fuzz::Nesting;
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

std::unique_ptr<WideDocument> ParsedDeep(const Source& source, const Nesting& nesting) {
    std::unique_ptr<WideDocument> document = source.Parse();
    quorane::fuzz::Wrap(*document, nesting, 0, document->GetAllocator());
    return document;
}

// The same value wrapped deep: its text (in both readers), and its copies,
// which describe the containers around the value's own description, also
// when they land on the source, inside it or around it.
void CheckDeepCopies(const Source& source, const Nesting& nesting) {
    std::unique_ptr<WideDocument> document = source.Parse();
    if (!document) return;
    const std::string inner = Described(*document);
    const auto [before, after] = quorane::fuzz::WrapperDescription(nesting);
    const std::string expected = before + inner + after;
    quorane::fuzz::CheckDeepText<WideJsonValue>(*document, nesting, document->GetAllocator());

    JsonAllocator allocator;
    WideJsonValue copy;
    CopyJsonValue(copy, *document, allocator);
    FUZZ_CHECK(Described(copy, true) == expected);
    document.reset();
    FUZZ_CHECK(Described(copy, true) == expected);

    document = ParsedDeep(source, nesting);
    CopyJsonValue(*document, *document, document->GetAllocator());
    FUZZ_CHECK(Described(*document, true) == expected);

    // Into the value inside the containers: the containers around a copy of
    // the whole; and from that value: the value alone.
    document = ParsedDeep(source, nesting);
    CopyJsonValue(quorane::fuzz::Unwrapped<WideJsonValue>(*document, nesting), *document,
                  document->GetAllocator());
    FUZZ_CHECK(Described(*document, true) == before + expected + after);

    document = ParsedDeep(source, nesting);
    CopyJsonValue(*document, quorane::fuzz::Unwrapped<WideJsonValue>(*document, nesting),
                  document->GetAllocator());
    FUZZ_CHECK(Described(*document, true) == inner);
}

void Check(const Source& source, const std::optional<Nesting>& nesting) {
    CheckCopies(source);
    if (nesting) CheckDeepCopies(source, *nesting);
}

}  // namespace

// The input's last byte picks the source of the document or the raw number (FuzzedDataProvider
// takes numbers from the end), and may ask for the value to be checked wrapped deep as well, in
// containers that the bytes before it describe; the rest is the text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const quorane::fuzz::ModeByte mode = quorane::fuzz::ConsumeModeByte(input, 3);
    std::optional<Nesting> nesting;
    if (mode.deep && mode.mode != 2) nesting = quorane::fuzz::ConsumeNesting(input);
    switch (mode.mode) {
        case 0: {
            const std::string bytes = input.ConsumeRemainingBytesAsString();
            Check(Source{false, {}, quorane::fuzz::LooseWide(bytes)}, nesting);
            break;
        }
        case 1:
            Check(Source{true, input.ConsumeRemainingBytesAsString(), {}}, nesting);
            break;
        default: {
            JsonAllocator allocator;
            quorane::fuzz::CheckRawNumber<WideJsonValue>(input, allocator);
            break;
        }
    }
    return 0;
}
