// The Core Foundation string calls the library uses, provided on top of ICU
// for platforms without Core Foundation. Strings are immutable or mutable
// UTF-16 buffers (icu::UnicodeString); the two encodings known are UTF-8 and
// Mac OS Roman, and both directions are strict: bytes or characters that the
// encoding cannot carry make the call fail instead of being replaced.
#include <quorane/platform/CoreFoundationStrings.h>

#include <climits>
#include <cstring>
#include <optional>

#include <unicode/normalizer2.h>
#include <unicode/ucnv.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

struct QuoraneCFString {
    icu::UnicodeString text;
};

extern "C" const CFAllocatorRef kCFAllocatorDefault = nullptr;

namespace quorane::platform {
namespace {

// ICU's name for Mac OS Roman.
constexpr const char* kMacRomanConverter = "macintosh";

// A Mac OS Roman converter that stops at the first byte or character it cannot
// map, rather than substituting one.
icu::LocalUConverterPointer OpenStrictMacRoman() {
    UErrorCode status = U_ZERO_ERROR;
    icu::LocalUConverterPointer converter(ucnv_open(kMacRomanConverter, &status));
    if (U_FAILURE(status)) return icu::LocalUConverterPointer();
    ucnv_setToUCallBack(converter.getAlias(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                        &status);
    ucnv_setFromUCallBack(converter.getAlias(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr,
                          nullptr, &status);
    if (U_FAILURE(status)) return icu::LocalUConverterPointer();
    return converter;
}

std::optional<icu::UnicodeString> Decode(const char* bytes, CFStringEncoding encoding) {
    const size_t length = std::strlen(bytes);
    if (length > static_cast<size_t>(INT32_MAX)) return std::nullopt;
    const auto length32 = static_cast<int32_t>(length);
    UErrorCode status = U_ZERO_ERROR;

    if (encoding == kCFStringEncodingUTF8) {
        // u_strFromUTF8 (unlike UnicodeString::fromUTF8) refuses ill-formed
        // input instead of putting U+FFFD in its place; ask it for the size
        // first so the text is decoded in one pass into a buffer of that size.
        int32_t units = 0;
        u_strFromUTF8(nullptr, 0, &units, bytes, length32, &status);
        if (U_FAILURE(status) && status != U_BUFFER_OVERFLOW_ERROR) return std::nullopt;
        icu::UnicodeString text;
        if (units == 0) return text;
        status = U_ZERO_ERROR;
        UChar* buffer = text.getBuffer(units);
        if (buffer == nullptr) return std::nullopt;
        u_strFromUTF8(buffer, units, &units, bytes, length32, &status);
        text.releaseBuffer(U_SUCCESS(status) ? units : 0);
        if (U_FAILURE(status)) return std::nullopt;
        return text;
    }

    if (encoding == kCFStringEncodingMacRoman) {
        icu::LocalUConverterPointer converter = OpenStrictMacRoman();
        if (converter.isNull()) return std::nullopt;
        icu::UnicodeString text(bytes, length32, converter.getAlias(), status);
        if (U_FAILURE(status) || text.isBogus()) return std::nullopt;
        return text;
    }

    return std::nullopt;
}

// Writes the text and a NUL into the buffer; false when a character has no
// form in the encoding or the bytes and their NUL do not fit.
bool Encode(const icu::UnicodeString& text, char* buffer, CFIndex bufferSize,
            CFStringEncoding encoding) {
    if (buffer == nullptr || bufferSize <= 0) return false;
    const auto capacity = static_cast<int32_t>(bufferSize > INT32_MAX ? INT32_MAX : bufferSize);
    UErrorCode status = U_ZERO_ERROR;
    int32_t written = 0;

    if (encoding == kCFStringEncodingUTF8) {
        // Unpaired surrogates have no UTF-8 form; u_strToUTF8 reports them.
        u_strToUTF8(buffer, capacity, &written, text.getBuffer(), text.length(), &status);
    } else if (encoding == kCFStringEncodingMacRoman) {
        icu::LocalUConverterPointer converter = OpenStrictMacRoman();
        if (converter.isNull()) return false;
        written = ucnv_fromUChars(converter.getAlias(), buffer, capacity, text.getBuffer(),
                                  text.length(), &status);
    } else {
        return false;
    }
    // A result that fills the buffer exactly comes back with a warning and no
    // terminating NUL: that does not fit either.
    if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING) return false;
    return written < capacity;
}

const icu::Normalizer2* NormalizerFor(CFStringNormalizationForm form) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = nullptr;
    switch (form) {
        case kCFStringNormalizationFormD:
            normalizer = icu::Normalizer2::getNFDInstance(status);
            break;
        case kCFStringNormalizationFormKD:
            normalizer = icu::Normalizer2::getNFKDInstance(status);
            break;
        case kCFStringNormalizationFormC:
            normalizer = icu::Normalizer2::getNFCInstance(status);
            break;
        case kCFStringNormalizationFormKC:
            normalizer = icu::Normalizer2::getNFKCInstance(status);
            break;
        default:
            return nullptr;
    }
    return U_SUCCESS(status) ? normalizer : nullptr;
}

}  // namespace
}  // namespace quorane::platform

extern "C" {

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cStr, CFStringEncoding encoding) {
    if (cStr == nullptr) return nullptr;
    std::optional<icu::UnicodeString> text = quorane::platform::Decode(cStr, encoding);
    if (!text) return nullptr;
    return new QuoraneCFString{std::move(*text)};
}

CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef, CFIndex, CFStringRef theString) {
    // The length limit is a capacity hint on the platform; a UnicodeString
    // grows as needed, so it is not kept.
    if (theString == nullptr) return nullptr;
    return new QuoraneCFString{theString->text};
}

void CFStringNormalize(CFMutableStringRef theString, CFStringNormalizationForm theForm) {
    if (theString == nullptr) return;
    const icu::Normalizer2* normalizer = quorane::platform::NormalizerFor(theForm);
    if (normalizer == nullptr) return;
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString normalized = normalizer->normalize(theString->text, status);
    if (U_SUCCESS(status)) theString->text = std::move(normalized);
}

CFIndex CFStringGetLength(CFStringRef theString) {
    return theString == nullptr ? 0 : theString->text.length();
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
    if (length < 0) return -1;
    // A UTF-16 unit takes at most three UTF-8 bytes (a surrogate pair, two
    // units, takes four); Mac OS Roman is one byte per character.
    if (encoding == kCFStringEncodingUTF8) return length > LONG_MAX / 3 ? -1 : length * 3;
    return length;
}

Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) {
    if (theString == nullptr) return false;
    return quorane::platform::Encode(theString->text, buffer, bufferSize, encoding) ? 1 : 0;
}

void CFRelease(CFTypeRef cf) {
    // Strings are the only objects the stand-in makes.
    delete static_cast<const QuoraneCFString*>(cf);
}

}  // extern "C"
