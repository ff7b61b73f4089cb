// Tests of the string utilities and of the platform strings beneath them.
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <quorane/Utils.h>
#include "base/Text.h"

namespace {

struct Release {
    void operator()(const void* string) const { CFRelease(string); }
};
using Owned = std::unique_ptr<const QuoraneCFString, Release>;

Owned Make(const std::string& bytes, CFStringEncoding encoding = kCFStringEncodingUTF8) {
    return Owned(CFStringCreateWithCString(kCFAllocatorDefault, bytes.c_str(), encoding));
}

TEST(Split, FieldsBetweenLeftmostNonOverlappingMatches) {
    const std::wstring longSep(20, L'=');
    struct Case {
        std::wstring text, separator;
        std::vector<std::wstring> fields;
    };
    const Case cases[] = {
        {L"a,b,,c", L",", {L"a", L"b", L"", L"c"}},
        {L",a,", L",", {L"", L"a", L""}},
        {L"", L",", {L""}},
        {L"xabababy", L"ab", {L"x", L"", L"", L"y"}},
        {L"a---b", L"--", {L"a", L"-b"}},
        {L"--", L"--", {L"", L""}},
        {L"-", L"--", {L"-"}},
        {L"A,a", L"a", {L"A,", L""}},
        {L"a,b", L"", {L"a,b"}},
        {L"", L"", {L""}},
        // Long separators take the searcher path.
        {L"x" + longSep + L"=y" + longSep, longSep, {L"x", L"=y", L""}},
        {std::wstring(45, L'='), longSep, {L"", L"", L"====="}},
        {std::wstring(19, L'='), longSep, {std::wstring(19, L'=')}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(quorane::NarrowForm(L"'" + c.text + L"' by '" + c.separator + L"'"));
        EXPECT_EQ(Split(c.text, c.separator), c.fields);
    }
}

TEST(Split, LongTextsWhoseFieldsThinOutOrCrowdInKeepEveryField) {
    // The room made for the result comes from the text's beginning; texts
    // whose matches are dense only there, only later, or straddle the end of
    // that beginning must still give every field, in order.
    auto fields = [](size_t count, size_t width) {
        return std::vector<std::wstring>(count, std::wstring(width, L'x'));
    };
    auto join = [](const std::vector<std::wstring>& parts) {
        std::wstring text;
        for (size_t i = 0; i < parts.size(); ++i) text += (i ? L"::" : L"") + parts[i];
        return text;
    };
    auto concat = [](std::vector<std::wstring> a, const std::vector<std::wstring>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::vector<std::vector<std::wstring>> cases = {
        concat(fields(5000, 1), fields(3, 40000)),         // dense, then sparse
        concat(fields(2, 5000), fields(60000, 2)),         // sparse, then dense
        concat(fields(1364, 1), {std::wstring(1, L'y')}),  // a match across the sample's end
        fields(100000, 0),                                 // nothing but separators
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.size());
        EXPECT_EQ(Split(join(expected), L"::"), expected);
    }
}

TEST(MixString, InterleavesBytesFirstStringFirst) {
    const std::string cases[][3] = {
        {"abc", "12345", "a1b2c345"},
        {"abcd", "12", "a1b2cd"},
        {"", "xyz", "xyz"},
        {"xyz", "", "xyz"},
        {"ab", "12", "a1b2"},
        {"", "", ""},
        {"\xC3\xA9", "-", "\xC3-\xA9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0] + "|" + c[1]);
        EXPECT_EQ(MixString(c[0], c[1]), c[2]);
    }
}

TEST(NfdToNfc, ComposesToTheCompleteNfcForm) {
    const std::string cases[][2] = {
        {"plain ascii", "plain ascii"},
        {"e\xCC\x81", "\xC3\xA9"},                      // e + U+0301 -> U+00E9
        {"A\xCC\x8A\xCC\xA3", "\xE1\xBA\xA0\xCC\x8A"},  // marks reordered, then composed
        {"\xE1\x84\x80\xE1\x85\xA1", "\xEA\xB0\x80"},   // Hangul jamo -> U+AC00
        // A composition exclusion: U+0958 becomes U+0915 U+093C, six bytes.
        {"\xE0\xA5\x98", "\xE0\xA4\x95\xE0\xA4\xBC"},
        {"x\xF0\x9F\x98\x80", "x\xF0\x9F\x98\x80"},
        {std::string("e\xCC\x81\0tail", 8), "\xC3\xA9"},
        {"", ""},
        // Not UTF-8: a stray continuation byte, an overlong NUL, a surrogate,
        // a truncated sequence.
        {"a\x80", ""},
        {"\xC0\x80", ""},
        {"\xED\xA0\x80", ""},
        {"\xE2\x82", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0]);
        EXPECT_EQ(NfdToNfc(c[0]), c[1]);
    }
}

TEST(CFStringRefToUTF8, CarriesEveryCharacter) {
    const std::string cases[] = {"", "ascii", "caf\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC",
                                 "\xF0\x9F\x98\x80!"};
    for (const std::string& text : cases) {
        SCOPED_TRACE(text);
        Owned string = Make(text);
        ASSERT_NE(string, nullptr);
        EXPECT_EQ(CFStringRefToUTF8(string.get()), text);
        EXPECT_EQ(CFStringRefToWide(string.get()), quorane::WideForm(text));
        // Borrowed, not released: the string is still usable.
        EXPECT_EQ(CFStringRefToUTF8(string.get()), text);
    }
    EXPECT_EQ(CFStringRefToUTF8(nullptr), "");
    EXPECT_EQ(CFStringRefToWide(nullptr), L"");
}

TEST(CoreFoundationStrings, CreationLengthAndFetchBehaveAsThePlatform) {
    EXPECT_EQ(Make("a\xFF"), nullptr);
    EXPECT_EQ(Make("x", 0x0600), nullptr);  // an encoding the stand-in does not know

    Owned emoji = Make("\xF0\x9F\x98\x80");  // one character, two UTF-16 units
    EXPECT_EQ(CFStringGetLength(emoji.get()), 2);
    char buffer[8];
    EXPECT_FALSE(CFStringGetCString(emoji.get(), buffer, 4, kCFStringEncodingUTF8));
    ASSERT_TRUE(CFStringGetCString(emoji.get(), buffer, 5, kCFStringEncodingUTF8));
    EXPECT_STREQ(buffer, "\xF0\x9F\x98\x80");
    EXPECT_FALSE(CFStringGetCString(emoji.get(), buffer, 8, kCFStringEncodingMacRoman));

    // Mac OS Roman keeps e-acute at 0x8E, in both directions.
    Owned roman = Make("caf\x8E", kCFStringEncodingMacRoman);
    ASSERT_NE(roman, nullptr);
    EXPECT_EQ(CFStringRefToUTF8(roman.get()), "caf\xC3\xA9");
    ASSERT_TRUE(CFStringGetCString(roman.get(), buffer, 5, kCFStringEncodingMacRoman));
    EXPECT_STREQ(buffer, "caf\x8E");
}

TEST(CoreFoundationStrings, EachNormalisationFormAndNothingForAnUnknownOne) {
    // The "fi" ligature U+FB01 and a precomposed e-acute: the compatibility
    // forms spell the ligature out, the decomposed forms split the accent off.
    const std::string text = "\xEF\xAC\x81\xC3\xA9";
    const std::string ligature = "\xEF\xAC\x81";
    const std::string decomposedE = "e\xCC\x81";
    struct Case {
        CFStringNormalizationForm form;
        std::string expected;
    };
    const Case cases[] = {
        {kCFStringNormalizationFormD, ligature + decomposedE},
        {kCFStringNormalizationFormKD, "fi" + decomposedE},
        {kCFStringNormalizationFormC, ligature + "\xC3\xA9"},
        {kCFStringNormalizationFormKC, "fi\xC3\xA9"},
        {kCFStringNormalizationFormKC + 1, text},  // unknown: left as it is
        {-1, text},
    };
    Owned source = Make(text);
    ASSERT_NE(source, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.form);
        const std::unique_ptr<QuoraneCFString, Release> copy(
            CFStringCreateMutableCopy(kCFAllocatorDefault, 0, source.get()));
        ASSERT_NE(copy, nullptr);
        CFStringNormalize(copy.get(), c.form);
        EXPECT_EQ(CFStringRefToUTF8(copy.get()), c.expected);
    }
    EXPECT_EQ(CFStringRefToUTF8(source.get()), text);  // the copies were changed, not it
}

TEST(CoreFoundationStrings, SizeBoundsAndUnknownEncodings) {
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(5, kCFStringEncodingUTF8), 15);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(5, kCFStringEncodingMacRoman), 5);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(0, kCFStringEncodingMacRoman), 0);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(-1, kCFStringEncodingUTF8), -1);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(-1, kCFStringEncodingMacRoman), -1);
    // Three bytes a unit would overflow the index: no bound rather than a wrong one.
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(LONG_MAX / 3 + 1, kCFStringEncodingUTF8), -1);

    Owned ascii = Make("abc");
    ASSERT_NE(ascii, nullptr);
    char buffer[16] = "untouched";
    EXPECT_FALSE(CFStringGetCString(ascii.get(), buffer, sizeof buffer, 0x0600));
    EXPECT_FALSE(CFStringGetCString(ascii.get(), buffer, 0, kCFStringEncodingUTF8));
    // Mac OS Roman fits exactly its character count and a NUL, no less.
    EXPECT_FALSE(CFStringGetCString(ascii.get(), buffer, 3, kCFStringEncodingMacRoman));
    ASSERT_TRUE(CFStringGetCString(ascii.get(), buffer, 4, kCFStringEncodingMacRoman));
    EXPECT_STREQ(buffer, "abc");
}

// 8-4-4-4-12 lowercase hex digits, version 4, variant bits 10.
bool IsVersion4Uuid(const std::string& text) {
    if (text.size() != 36) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        const char c = text[i];
        if (hyphen ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return text[14] == '4' && std::string("89ab").find(text[19]) != std::string::npos;
}

TEST(CreateUUIDString, RandomVersion4InCanonicalForm) {
    const std::string first = CreateUUIDString();
    const std::string second = CreateUUIDString();
    const std::wstring wide = CreateUUIDWideString();
    EXPECT_TRUE(IsVersion4Uuid(first)) << first;
    EXPECT_TRUE(IsVersion4Uuid(second)) << second;
    EXPECT_TRUE(IsVersion4Uuid(quorane::NarrowForm(wide)));
    EXPECT_EQ(wide.size(), 36u);
    EXPECT_NE(first, second);
    EXPECT_NE(quorane::NarrowForm(wide), first);
}

}  // namespace
