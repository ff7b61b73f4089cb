// URL and form encoding: byte-level percent encoding and decoding into malloc
// blocks, their two counting helpers, and the wide form-data encoder.
#include <quorane/Utils.h>

#include <array>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Byte classes of the coders, looked up once per byte.
enum ByteClass : unsigned char {
    kEscaped = 0,  // written by URLEncode as "%XX"
    kKept = 1,     // ASCII letters, digits, "." and "@": written unchanged
};

constexpr std::array<unsigned char, 256> MakeKeptTable() {
    std::array<unsigned char, 256> table{};
    for (int c = 'A'; c <= 'Z'; ++c) table[c] = kKept;
    for (int c = 'a'; c <= 'z'; ++c) table[c] = kKept;
    for (int c = '0'; c <= '9'; ++c) table[c] = kKept;
    table['.'] = kKept;
    table['@'] = kKept;
    return table;
}

// Value of a hexadecimal digit (either case), or kNotHex for any other byte.
// Unsigned, so that reading an entry never sign-extends.
constexpr unsigned char kNotHex = 0xFF;

constexpr std::array<unsigned char, 256> MakeHexTable() {
    std::array<unsigned char, 256> table{};
    for (int c = 0; c < 256; ++c) table[c] = kNotHex;
    for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<unsigned char>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<unsigned char>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<unsigned char>(c - 'a' + 10);
    return table;
}

constexpr std::array<unsigned char, 256> kKeptTable = MakeKeptTable();
constexpr std::array<unsigned char, 256> kHexValue = MakeHexTable();
constexpr char kUpperHex[] = "0123456789ABCDEF";

// A null pointer is read as the empty text rather than dereferenced.
const unsigned char* Bytes(const char* text) {
    return reinterpret_cast<const unsigned char*>(text != nullptr ? text : "");
}

// The counters answer in int; a text with more matching bytes than int can
// hold reports INT_MAX instead of a wrapped, negative count.
int ClampCount(std::size_t count) {
    return count > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(count);
}

// The number of escaped bytes and the length of the text, in one walk.
std::size_t CountEscaped(const unsigned char* text, std::size_t* length) {
    std::size_t escaped = 0;
    const unsigned char* p = text;
    for (; *p != 0; ++p) escaped += kKeptTable[*p] == kEscaped;
    *length = static_cast<std::size_t>(p - text);
    return escaped;
}

// Replacements of the eight form-data characters, indexed by ASCII code;
// null for every character that is copied unchanged.
constexpr std::array<const wchar_t*, 128> MakeFormTable() {
    std::array<const wchar_t*, 128> table{};
    table[' '] = L"%20";
    table['#'] = L"%23";
    table['$'] = L"%24";
    table['%'] = L"%25";
    table['&'] = L"%26";
    table['+'] = L"%2B";
    table['@'] = L"%40";
    table['^'] = L"%5E";
    return table;
}

constexpr std::array<const wchar_t*, 128> kFormTable = MakeFormTable();

// The unit is a wide character, not a byte of unknown sign, and is range
// checked before it is used as an index.
const wchar_t* FormEscape(wchar_t c) {
    // NOLINTNEXTLINE(bugprone-signed-char-misuse)
    return c >= 0 && c < 128 ? kFormTable[static_cast<std::size_t>(c)] : nullptr;
}

}  // namespace

int numOfPercent(const char* text) {
    std::size_t count = 0;
    for (const unsigned char* p = Bytes(text); *p != 0; ++p) count += *p == '%';
    return ClampCount(count);
}

int numOfEncodingChar(const char* text) {
    std::size_t length = 0;
    return ClampCount(CountEscaped(Bytes(text), &length));
}

char* URLEncode(const char* text) {
    const unsigned char* in = Bytes(text);
    // Sized in size_t, not through the int counter, so that the block is exact
    // for any text the address space can hold.
    std::size_t length = 0;
    const std::size_t escaped = CountEscaped(in, &length);
    char* const block = static_cast<char*>(std::malloc(length + 2 * escaped + 1));
    if (block == nullptr) return nullptr;

    char* out = block;
    for (const unsigned char* p = in; *p != 0; ++p) {
        if (kKeptTable[*p] == kKept) {
            *out++ = static_cast<char>(*p);
        } else {
            out[0] = '%';
            out[1] = kUpperHex[*p >> 4];
            out[2] = kUpperHex[*p & 0x0F];
            out += 3;
        }
    }
    *out = '\0';
    return block;
}

char* URLDecode(const char* text) {
    const unsigned char* in = Bytes(text);
    // Every rule writes at most one byte per byte read, so the input's length
    // plus the NUL holds any result, malformed escapes included.
    char* const block =
        static_cast<char*>(std::malloc(std::strlen(text != nullptr ? text : "") + 1));
    if (block == nullptr) return nullptr;

    char* out = block;
    const unsigned char* p = in;
    while (*p != 0) {
        if (*p != '%') {
            *out++ = static_cast<char>(*p++);
            continue;
        }
        const unsigned char high = kHexValue[p[1]];
        if (high == kNotHex) {
            // A lone "%" is dropped; what follows it (the NUL included) is read
            // again by the same rules.
            p += 1;
            continue;
        }
        const unsigned char low = kHexValue[p[2]];
        if (low == kNotHex) {
            // "%" and one digit are dropped; the byte after them is read again.
            p += 2;
            continue;
        }
        *out++ = static_cast<char>(high * 16 + low);
        p += 3;
    }
    *out = '\0';
    return block;
}

std::wstring PostDataEncode(std::wstring text) {
    std::size_t escaped = 0;
    for (const wchar_t c : text) escaped += FormEscape(c) != nullptr;
    if (escaped == 0) return text;

    std::wstring result(text.size() + 2 * escaped, L'\0');
    wchar_t* out = result.data();
    for (const wchar_t c : text) {
        if (const wchar_t* replacement = FormEscape(c)) {
            out[0] = replacement[0];
            out[1] = replacement[1];
            out[2] = replacement[2];
            out += 3;
        } else {
            *out++ = c;
        }
    }
    return result;
}
