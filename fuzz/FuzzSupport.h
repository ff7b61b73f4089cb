// Shared pieces of the fuzz targets: the property check that stops a run, and
// the ways fuzz bytes are turned into the library's kinds of text.
#ifndef QUORANE_FUZZ_FUZZ_SUPPORT_H
#define QUORANE_FUZZ_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

// A property that must hold for every input. A broken one aborts, which
// libFuzzer records as a crash together with the input that caused it.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "property broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace quorane::fuzz {

// Wide text from fuzz bytes, read loosely as UTF-8 so that a mutator working
// on bytes still reaches every kind of unit: well-formed sequences give their
// code point, lead bytes take their continuation bytes without any range check
// (so surrogates and values above U+10FFFF come out of ED A0 80 or F7 BF BF BF),
// a stray byte stands for itself, and 0xFE followed by four bytes gives that
// raw 32-bit unit, negative values included.
inline std::wstring LooseWide(const std::string& bytes) {
    std::wstring wide;
    wide.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead == 0xFE && i + 4 < bytes.size()) {
            uint32_t raw = 0;
            for (int k = 1; k <= 4; ++k) raw = raw << 8 | static_cast<unsigned char>(bytes[i + k]);
            wide.push_back(static_cast<wchar_t>(raw));
            i += 5;
            continue;
        }
        int trail = lead >= 0xF0 && lead < 0xF8 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
        if (lead >= 0xF8) trail = 0;
        uint32_t value = trail == 0 ? lead : lead & (0x3F >> trail);
        std::size_t k = 1;
        for (; k <= static_cast<std::size_t>(trail) && i + k < bytes.size(); ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) break;
            value = value << 6 | (next & 0x3F);
        }
        if (k != static_cast<std::size_t>(trail) + 1) {
            value = lead;
            k = 1;
        }
        wide.push_back(static_cast<wchar_t>(value));
        i += k;
    }
    return wide;
}

// True when the bytes are well-formed UTF-8 throughout: shortest forms only,
// no surrogates, nothing above U+10FFFF. A NUL byte is well-formed.
inline bool IsValidUtf8(const std::string& bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto b0 = static_cast<unsigned char>(bytes[i]);
        if (b0 < 0x80) {
            ++i;
            continue;
        }
        int trail = 0;
        uint32_t value = 0;
        uint32_t least = 0;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            trail = 1, value = b0 & 0x1F, least = 0x80;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            trail = 2, value = b0 & 0x0F, least = 0x800;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            trail = 3, value = b0 & 0x07, least = 0x10000;
        } else {
            return false;
        }
        if (i + static_cast<std::size_t>(trail) >= bytes.size()) return false;
        for (int k = 1; k <= trail; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            value = value << 6 | (next & 0x3F);
        }
        if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            return false;
        }
        i += static_cast<std::size_t>(trail) + 1;
    }
    return true;
}

// True when every unit is a Unicode scalar value other than NUL.
inline bool IsScalarText(const std::wstring& wide) {
    for (const wchar_t c : wide) {
        // A negative unit wraps above 0x10FFFF and is rejected with those.
        const auto u = static_cast<uint32_t>(c);  // NOLINT(bugprone-signed-char-misuse)
        if (u == 0 || u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) return false;
    }
    return true;
}

// The text up to its first NUL.
template <typename String>
String UpToNul(const String& text) {
    return text.substr(0, text.find(typename String::value_type(0)));
}

}  // namespace quorane::fuzz

#endif  // QUORANE_FUZZ_FUZZ_SUPPORT_H
