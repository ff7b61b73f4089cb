// Fuzz target of the URL and form coders: the exact size and form of what
// URLEncode writes, the decode of any text against a plain reading of the
// escape rules, the URLEncode/URLDecode round trip, and PostDataEncode undone.
#include <malloc.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <quorane/Utils.h>
#include "FuzzSupport.h"

namespace {

using quorane::fuzz::LooseWide;
using quorane::fuzz::UpToNul;

struct FreeBlock {
    void operator()(char* block) const { std::free(block); }
};
using Block = std::unique_ptr<char, FreeBlock>;

bool IsKept(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '@';
}

int HexValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The escape rules read one step at a time, with bounds checked against the
// text's own length rather than relying on its NUL.
std::string ReferenceDecode(const std::string& text) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '%') {
            out.push_back(text[i++]);
            continue;
        }
        const int high = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
        if (high < 0) {
            i += 1;
            continue;
        }
        const int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
        if (low < 0) {
            i += 2;
            continue;
        }
        out.push_back(static_cast<char>(high * 16 + low));
        i += 3;
    }
    return out;
}

void CheckEncode(const std::string& text) {
    std::size_t escaped = 0;
    for (const char c : text) escaped += !IsKept(static_cast<unsigned char>(c));
    FUZZ_CHECK(numOfEncodingChar(text.c_str()) == static_cast<int>(escaped));
    FUZZ_CHECK(numOfPercent(text.c_str()) ==
               static_cast<int>(std::count(text.begin(), text.end(), '%')));

    const Block encoded(URLEncode(text.c_str()));
    FUZZ_CHECK(encoded != nullptr);
    const std::size_t length = std::strlen(encoded.get());
    FUZZ_CHECK(length == text.size() + 2 * escaped);
    // The sanitizer's allocator reports the size asked for: the block holds
    // the encoded text and its NUL, not a byte more.
    FUZZ_CHECK(malloc_usable_size(encoded.get()) == length + 1);

    const char* hex = "0123456789ABCDEF";
    std::size_t in = 0;
    for (std::size_t i = 0; i < length; ++in) {
        const auto c = static_cast<unsigned char>(text[in]);
        if (IsKept(c)) {
            FUZZ_CHECK(encoded.get()[i] == text[in]);
            i += 1;
        } else {
            FUZZ_CHECK(encoded.get()[i] == '%');
            FUZZ_CHECK(encoded.get()[i + 1] == hex[c >> 4]);
            FUZZ_CHECK(encoded.get()[i + 2] == hex[c & 0x0F]);
            i += 3;
        }
    }
    FUZZ_CHECK(in == text.size());

    const Block decoded(URLDecode(encoded.get()));
    FUZZ_CHECK(decoded != nullptr);
    FUZZ_CHECK(text == decoded.get());
}

void CheckDecode(const std::string& text) {
    const Block decoded(URLDecode(text.c_str()));
    FUZZ_CHECK(decoded != nullptr);
    const std::size_t length = std::strlen(decoded.get());
    FUZZ_CHECK(length <= text.size());
    FUZZ_CHECK(malloc_usable_size(decoded.get()) >= length + 1);
    FUZZ_CHECK(UpToNul(ReferenceDecode(text)) == decoded.get());
    if (text.find('%') == std::string::npos) FUZZ_CHECK(text == decoded.get());
}

// Replacements of the form coder, keyed by the character they stand for.
const wchar_t* FormEscape(wchar_t c) {
    switch (c) {
        case L' ':
            return L"%20";
        case L'#':
            return L"%23";
        case L'$':
            return L"%24";
        case L'%':
            return L"%25";
        case L'&':
            return L"%26";
        case L'+':
            return L"%2B";
        case L'@':
            return L"%40";
        case L'^':
            return L"%5E";
        default:
            return nullptr;
    }
}

void CheckPostData(const std::wstring& text) {
    const std::wstring encoded = PostDataEncode(text);
    std::size_t escaped = 0;
    for (const wchar_t c : text) escaped += FormEscape(c) != nullptr;
    FUZZ_CHECK(encoded.size() == text.size() + 2 * escaped);

    // Every "%" of the result starts a replacement, so reading them back gives
    // the text exactly; none of the other seven characters is left.
    std::wstring restored;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        const wchar_t c = encoded[i];
        FUZZ_CHECK(c == L'%' || FormEscape(c) == nullptr);
        if (c != L'%') {
            restored.push_back(c);
            continue;
        }
        FUZZ_CHECK(i + 2 < encoded.size());
        const std::wstring escape = encoded.substr(i, 3);
        wchar_t original = 0;
        for (const wchar_t candidate : std::wstring(L" #$%&+@^")) {
            if (escape == FormEscape(candidate)) original = candidate;
        }
        FUZZ_CHECK(original != 0);
        restored.push_back(original);
        i += 2;
    }
    FUZZ_CHECK(restored == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string text = UpToNul(bytes);
    CheckEncode(text);
    CheckDecode(text);
    CheckPostData(LooseWide(bytes));
    return 0;
}
