// Tests of URL and form encoding: escape rules, malformed escapes, round
// trips, the exact size of the returned blocks and allocation failure.
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include <quorane/Utils.h>

// The block-size and allocation-failure tests watch the library's malloc
// calls by putting their own malloc in front of the C library's; sanitizer
// runtimes own malloc themselves, so there the probe is left out.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUORANE_MALLOC_PROBE 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUORANE_MALLOC_PROBE 0
#endif
#endif
#ifndef QUORANE_MALLOC_PROBE
#define QUORANE_MALLOC_PROBE 1
#endif

namespace {

// What malloc saw while the probe was armed (only around one library call).
struct MallocProbe {
    bool armed = false;
    bool fail = false;
    int calls = 0;
    std::size_t lastSize = 0;
};
MallocProbe probe;

}  // namespace

#if QUORANE_MALLOC_PROBE
// glibc's own allocator, which the probe passes successful calls on to.
// NOLINTNEXTLINE(clang-diagnostic-reserved-identifier,readability-identifier-naming)
extern "C" void* __libc_malloc(std::size_t size);

extern "C" void* malloc(std::size_t size) noexcept {
    if (probe.armed) {
        ++probe.calls;
        probe.lastSize = size;
        if (probe.fail) return nullptr;
    }
    return __libc_malloc(size);
}
#endif

namespace {

// Runs `call` with the probe armed and returns its result.
template <typename Call>
char* Probed(Call call, bool fail = false) {
    probe = MallocProbe{};
    probe.fail = fail;
    probe.armed = true;
    char* result = call();
    probe.armed = false;
    return result;
}

// Takes a block from the coders, frees it and returns its C string.
std::string Take(char* block) {
    EXPECT_NE(block, nullptr);
    if (block == nullptr) return "<null>";
    std::string text(block);
    std::free(block);
    return text;
}

bool IsKept(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '@';
}

struct TextCase {
    std::string input;
    std::string expected;
};

}  // namespace

TEST(URLEncode, EscapesEverythingOutsideTheKeptSet) {
    // clang-format off
    const TextCase cases[] = {
        {"a b", "a%20b"}, {"x-y_z~", "x%2Dy%5Fz%7E"}, {"A.b@9", "A.b@9"}, {"100%", "100%25"},
        {"\xC3\xA9", "%C3%A9"}, {"", ""}, {"/:?=&+%", "%2F%3A%3F%3D%26%2B%25"},
        {"\x01\x1F\x7F\x80\xFF", "%01%1F%7F%80%FF"}, {"AZaz09", "AZaz09"}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(Take(URLEncode(c.input.c_str())), c.expected);
    }
}

TEST(URLEncode, EachByteAloneMatchesItsClass) {
    for (int value = 1; value < 256; ++value) {
        SCOPED_TRACE(value);
        const unsigned char byte = static_cast<unsigned char>(value);
        const char text[2] = {static_cast<char>(byte), '\0'};
        char expected[4];
        if (IsKept(byte)) {
            std::snprintf(expected, sizeof expected, "%c", byte);
        } else {
            std::snprintf(expected, sizeof expected, "%%%02X", byte);
        }
        EXPECT_EQ(Take(URLEncode(text)), expected);
        EXPECT_EQ(numOfEncodingChar(text), IsKept(byte) ? 0 : 1);
        EXPECT_EQ(numOfPercent(text), byte == '%' ? 1 : 0);
    }
}

TEST(URLEncode, NullTextReadsAsEmpty) {
    EXPECT_EQ(Take(URLEncode(nullptr)), "");
    EXPECT_EQ(Take(URLDecode(nullptr)), "");
    EXPECT_EQ(numOfPercent(nullptr), 0);
    EXPECT_EQ(numOfEncodingChar(nullptr), 0);
}

TEST(numOfEncodingChar, CountsBytesOutsideTheKeptSet) {
    const struct {
        const char* text;
        int encoding;
        int percent;
    } cases[] = {
        {"%abc", 1, 1},  {"abc%", 1, 1},     {"%%a%", 3, 3},  {"", 0, 0},
        {"a b c", 2, 0}, {"\xC3\xA9", 2, 0}, {"A.b@9", 0, 0}, {"%25%", 2, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(numOfEncodingChar(c.text), c.encoding);
        EXPECT_EQ(numOfPercent(c.text), c.percent);
    }
}

TEST(URLDecode, DecodesEscapesAndDropsMalformedOnes) {
    // clang-format off
    const TextCase cases[] = {
        {"a%20b", "a b"}, {"a+b", "a+b"}, {"%7e%7E", "~~"}, {"100%", "100"}, {"%4G", "G"},
        {"%%41", "A"}, {"%zz", "zz"}, {"ab%4", "ab"}, {"%", ""}, {"%%", ""}, {"%G4", "G4"},
        {"%4%41", "A"}, {"%C3%A9", "\xC3\xA9"}, {"%ff%FF", "\xFF\xFF"}, {"%2525", "%25"},
        {"plain", "plain"}, {"", ""}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(Take(URLDecode(c.input.c_str())), c.expected);
    }
}

TEST(URLDecode, EscapedNulIsWrittenLikeAnyByte) {
    char* block = URLDecode("a%00b");
    ASSERT_NE(block, nullptr);
    // The block holds 'a', NUL, 'b' and the terminating NUL; as a C string it
    // reads "a".
    EXPECT_EQ(std::string(block, 4), std::string("a\0b\0", 4));
    EXPECT_STREQ(block, "a");
    std::free(block);
}

TEST(URLDecode, UndoesURLEncodeOfArbitraryBytes) {
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> byte(1, 255);
    std::uniform_int_distribution<int> length(0, 200);
    for (int round = 0; round < 500; ++round) {
        std::string text(static_cast<std::size_t>(length(random)), '\0');
        for (char& c : text) c = static_cast<char>(byte(random));
        SCOPED_TRACE(round);
        char* encoded = URLEncode(text.c_str());
        ASSERT_NE(encoded, nullptr);
        EXPECT_EQ(std::string(encoded).size(),
                  text.size() + 2 * static_cast<std::size_t>(numOfEncodingChar(text.c_str())));
        EXPECT_EQ(Take(URLDecode(encoded)), text);
        std::free(encoded);
    }
}

TEST(PostDataEncode, ReplacesTheEightFormCharactersOnly) {
    const struct {
        std::wstring input;
        std::wstring expected;
    } cases[] = {
        {L"a b&c=d", L"a%20b%26c=d"},
        {L"50%+", L"50%25%2B"},
        {L"%25", L"%2525"},
        {L"", L""},
        {L"#$@^", L"%23%24%40%5E"},
        {L"=?/!'()*,\r\n~-_.", L"=?/!'()*,\r\n~-_."},
        {L"\u00E9 \u20AC\U0001F600", L"\u00E9%20\u20AC\U0001F600"},
        // Units whose low byte is a form character are not form characters.
        {std::wstring{wchar_t(0x120), wchar_t(0x125), wchar_t(0x10025)},
         std::wstring{wchar_t(0x120), wchar_t(0x125), wchar_t(0x10025)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.input.begin(), c.input.end()));
        EXPECT_EQ(PostDataEncode(c.input), c.expected);
    }
}

// Skips a test that needs the malloc probe when it is not built in.
#define REQUIRE_MALLOC_PROBE() \
    if (!QUORANE_MALLOC_PROBE) GTEST_SKIP() << "malloc belongs to the sanitizer runtime"

// Each coder takes one block for its result, and gives null when it cannot
// have it.
TEST(URLEncode, AllocatesExactlyTheEncodedLengthPlusOneOnceOrGivesNull) {
    REQUIRE_MALLOC_PROBE();
    const TextCase cases[] = {{"", ""},
                              {"abc", "abc"},
                              {"a b", "a%20b"},
                              {"\xC3\xA9!", "%C3%A9%21"},
                              {"%%%", "%25%25%25"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        char* block = Probed([&] { return URLEncode(c.input.c_str()); });
        EXPECT_EQ(probe.calls, 1);
        EXPECT_EQ(probe.lastSize, c.expected.size() + 1);
        EXPECT_EQ(Take(block), c.expected);
        EXPECT_EQ(Probed([&] { return URLEncode(c.input.c_str()); }, true), nullptr);
        EXPECT_EQ(probe.calls, 1);
    }
}

TEST(URLDecode, AllocatesTheInputLengthPlusOneOnceOrGivesNull) {
    REQUIRE_MALLOC_PROBE();
    for (const std::string input : {"", "abc", "a%20b", "%%41", "%4G", "100%"}) {
        SCOPED_TRACE(input);
        char* block = Probed([&] { return URLDecode(input.c_str()); });
        EXPECT_EQ(probe.calls, 1);
        EXPECT_EQ(probe.lastSize, input.size() + 1);
        Take(block);
        EXPECT_EQ(Probed([&] { return URLDecode(input.c_str()); }, true), nullptr);
        EXPECT_EQ(probe.calls, 1);
    }
}
