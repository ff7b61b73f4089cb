// Fuzz target of the string utilities: Split re-joined gives its text back at
// leftmost matches, MixString's interleave undone, NfdToNfc's NFC form checked
// against ICU (same text up to canonical equivalence, normalised, idempotent),
// and the platform strings carrying UTF-8 and Mac OS Roman text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <quorane/Utils.h>
#include "FuzzSupport.h"
#include "base/Text.h"

namespace {

using quorane::fuzz::IsValidUtf8;
using quorane::fuzz::LooseWide;
using quorane::fuzz::UpToNul;

void CheckSplit(FuzzedDataProvider& input) {
    // The separator is often cut out of the text itself, so that long
    // separators (searched differently from short ones) still match.
    const bool fromText = input.ConsumeBool();
    const std::size_t offset = input.ConsumeIntegralInRange<std::size_t>(0, 64);
    const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(0, 40);
    std::wstring separator = fromText ? L"" : LooseWide(input.ConsumeRandomLengthString(24));
    const std::wstring text = LooseWide(input.ConsumeRemainingBytesAsString());
    if (fromText && offset < text.size()) separator = text.substr(offset, length);

    const std::vector<std::wstring> fields = Split(text, separator);
    FUZZ_CHECK(!fields.empty());
    if (separator.empty()) {
        FUZZ_CHECK(fields.size() == 1 && fields[0] == text);
        return;
    }
    std::wstring joined;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        // No field holds the separator, and each match is the first one at or
        // after the start of its field: matches are leftmost, never overlap.
        FUZZ_CHECK(fields[i].find(separator) == std::wstring::npos);
        if (i + 1 < fields.size()) {
            FUZZ_CHECK((fields[i] + separator).find(separator) == fields[i].size());
        }
        if (i > 0) joined += separator;
        joined += fields[i];
    }
    FUZZ_CHECK(joined == text);
}

void CheckMix(FuzzedDataProvider& input) {
    const std::string first = input.ConsumeRandomLengthString(256);
    const std::string second = input.ConsumeRemainingBytesAsString();
    const std::string mixed = MixString(first, second);
    FUZZ_CHECK(mixed.size() == first.size() + second.size());

    // Undo the interleave: alternate bytes while both last, then the tail.
    std::string a, b;
    std::size_t i = 0;
    for (; a.size() < first.size() && b.size() < second.size(); i += 2) {
        a.push_back(mixed[i]);
        b.push_back(mixed[i + 1]);
    }
    (a.size() < first.size() ? a : b).append(mixed, i, std::string::npos);
    FUZZ_CHECK(a == first);
    FUZZ_CHECK(b == second);
}

icu::UnicodeString FromUtf8(const std::string& text) {
    return icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

void CheckNfc(const std::string& bytes) {
    const std::string text = UpToNul(bytes);
    const std::string nfc = NfdToNfc(bytes);
    if (!IsValidUtf8(text)) {
        FUZZ_CHECK(nfc.empty());
        return;
    }
    FUZZ_CHECK(nfc.empty() == text.empty());
    FUZZ_CHECK(IsValidUtf8(nfc));
    FUZZ_CHECK(nfc.find('\0') == std::string::npos);

    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfcForm = icu::Normalizer2::getNFCInstance(status);
    const icu::Normalizer2* nfdForm = icu::Normalizer2::getNFDInstance(status);
    FUZZ_CHECK(U_SUCCESS(status));
    const icu::UnicodeString composed = FromUtf8(nfc);
    FUZZ_CHECK(nfcForm->isNormalized(composed, status) && U_SUCCESS(status));
    // Composition changes the form, never the text: both decompose alike.
    FUZZ_CHECK(nfdForm->normalize(composed, status) == nfdForm->normalize(FromUtf8(text), status));
    FUZZ_CHECK(U_SUCCESS(status));
    FUZZ_CHECK(NfdToNfc(nfc) == nfc);
}

struct Released {
    void operator()(const QuoraneCFString* string) const {
        if (string != nullptr) CFRelease(string);
    }
};

void CheckPlatformStrings(const std::string& bytes) {
    const std::string text = UpToNul(bytes);
    {
        const std::unique_ptr<const QuoraneCFString, Released> string(
            CFStringCreateWithCString(kCFAllocatorDefault, bytes.c_str(), kCFStringEncodingUTF8));
        FUZZ_CHECK((string != nullptr) == IsValidUtf8(text));
        if (string) {
            FUZZ_CHECK(CFStringGetLength(string.get()) == FromUtf8(text).length());
            FUZZ_CHECK(CFStringRefToUTF8(string.get()) == text);
            FUZZ_CHECK(CFStringRefToWide(string.get()) == quorane::WideForm(text));
        }
    }
    // Mac OS Roman gives every byte a character, so any text makes a string
    // of one UTF-16 unit per byte, which comes out as well-formed UTF-8.
    const std::unique_ptr<const QuoraneCFString, Released> roman(
        CFStringCreateWithCString(kCFAllocatorDefault, bytes.c_str(), kCFStringEncodingMacRoman));
    FUZZ_CHECK(roman != nullptr);
    FUZZ_CHECK(CFStringGetLength(roman.get()) == static_cast<CFIndex>(text.size()));
    const std::string utf8 = CFStringRefToUTF8(roman.get());
    FUZZ_CHECK(IsValidUtf8(utf8));
    FUZZ_CHECK(FromUtf8(utf8).length() == static_cast<int32_t>(text.size()));
    FUZZ_CHECK(CFStringRefToWide(roman.get()) == quorane::WideForm(utf8));
}

}  // namespace

// The input's last byte picks the function (FuzzedDataProvider takes numbers
// from the end, so do Split's separator choices); the rest is the text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            CheckSplit(input);
            break;
        case 1:
            CheckMix(input);
            break;
        case 2:
            CheckNfc(input.ConsumeRemainingBytesAsString());
            break;
        default:
            CheckPlatformStrings(input.ConsumeRemainingBytesAsString());
            break;
    }
    return 0;
}
