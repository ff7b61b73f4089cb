// Core Foundation string calls, under their platform names.
//
// The library's Unicode composition and platform-string conversions are
// written against these few Core Foundation string operations. Where the
// platform has no Core Foundation, this header declares a small stand-in with
// the same names and the same observable behaviour, backed by ICU:
//
//  - creating a string from bytes that are not valid in the encoding gives null;
//  - the length counts UTF-16 code units;
//  - CFStringGetCString fails when the text and its NUL do not fit the buffer,
//    or when a character cannot be encoded in the requested encoding;
//  - CFRelease frees a string made by any of the Create calls.
//
// Including <quorane/Utils.h> makes these available, so callers can build the
// strings that CFStringRefToUTF8 and CFStringRefToWide take.
#ifndef QUORANE_PLATFORM_CORE_FOUNDATION_STRINGS_H
#define QUORANE_PLATFORM_CORE_FOUNDATION_STRINGS_H

#include <cstdint>

#include "../Export.h"

extern "C" {

struct QuoraneCFString;
struct QuoraneCFAllocator;

// The Core Foundation types the calls take, under their platform names.
using CFStringRef = const struct QuoraneCFString*;
using CFMutableStringRef = struct QuoraneCFString*;
using CFAllocatorRef = const struct QuoraneCFAllocator*;
using CFTypeRef = const void*;
using CFIndex = long;
using Boolean = unsigned char;
using CFStringEncoding = uint32_t;
using CFStringNormalizationForm = CFIndex;

// The default allocator; the only one the stand-in knows.
extern QUORANE_API const CFAllocatorRef kCFAllocatorDefault;

enum : CFStringEncoding {
    kCFStringEncodingMacRoman = 0,
    kCFStringEncodingUTF8 = 0x08000100,
};

enum : CFStringNormalizationForm {
    kCFStringNormalizationFormD = 0,
    kCFStringNormalizationFormKD = 1,
    kCFStringNormalizationFormC = 2,
    kCFStringNormalizationFormKC = 3,
};

// A new string from the NUL-terminated bytes in the given encoding; null when
// the bytes are not valid in it (or the encoding is unknown). Release it.
QUORANE_API CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                                  CFStringEncoding encoding);

// A new mutable copy of the string; maxLength 0 means no limit. Null when the
// string is null. Release it.
QUORANE_API CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef alloc, CFIndex maxLength,
                                                         CFStringRef theString);

// Normalises the string in place to the given Unicode normalisation form.
QUORANE_API void CFStringNormalize(CFMutableStringRef theString, CFStringNormalizationForm theForm);

// The length of the string in UTF-16 code units.
QUORANE_API CFIndex CFStringGetLength(CFStringRef theString);

// The most bytes that `length` UTF-16 units can take in the encoding, without
// the terminating NUL.
QUORANE_API CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);

// Writes the string in the encoding with a terminating NUL into the buffer of
// bufferSize bytes. False when it does not fit or a character cannot be
// encoded; the buffer's content is then unspecified.
QUORANE_API Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                                       CFStringEncoding encoding);

// Releases a string made by one of the Create calls. Null is not allowed.
QUORANE_API void CFRelease(CFTypeRef cf);

}  // extern "C"

#endif  // QUORANE_PLATFORM_CORE_FOUNDATION_STRINGS_H
