// The narrow and wide forms every family converts through.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <boost/locale/encoding.hpp>
#include <boost/locale/encoding_utf.hpp>
#include <gtest/gtest.h>

#include "base/Text.h"

namespace {

namespace conv = boost::locale::conv;

// The narrow form as first defined: UTF-8 encoding under the skip policy,
// then the charset converter from "UTF-8", also skipping.
std::string TwoStepNarrowForm(const std::wstring& wide) {
    const std::wstring upToNul = wide.substr(0, wide.find(L'\0'));
    const std::string utf8 = conv::utf_to_utf<char>(upToNul, conv::skip);
    return conv::to_utf<char>(utf8.substr(0, utf8.find('\0')), "UTF-8", conv::skip);
}

std::wstring Units(std::initializer_list<std::uint32_t> units) {
    std::wstring wide;
    for (std::uint32_t unit : units) wide.push_back(static_cast<wchar_t>(unit));
    return wide;
}

TEST(NarrowForm, GivesWhatTheCharsetConverterWouldHaveGiven) {
    std::vector<std::wstring> cases = {
        L"",
        L"plain ascii /path",
        Units({0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0x10000, 0x10FFFF}),  // every length boundary
        Units({'a', 0xD800, 'b', 0xDBFF, 0xDC00, 0xDFFF, 'c'}),        // lone surrogates
        Units({'a', 0x110000, 0x7FFFFFFF, 0xFFFFFFFF, 'z'}),           // beyond Unicode
        Units({0xFFFE, 0xFFFF, 0xFDD0, 0x1FFFE}),                      // noncharacters
        Units({'a', 0, 'b'}),                                          // stops at NUL
        Units({0x65, 0x301, 0xAC00, 0x1F600}),
    };
    // And units drawn from the whole 32-bit range, the most of them invalid.
    std::mt19937 draw(20261208);
    for (int i = 0; i < 200; ++i) {
        std::wstring wide;
        for (int n = 0; n < 40; ++n) {
            const std::uint32_t unit = draw() % 4 == 0 ? draw() : draw() % 0x110000;
            wide.push_back(static_cast<wchar_t>(unit == 0 ? 1 : unit));
        }
        cases.push_back(wide);
    }
    for (const std::wstring& wide : cases) {
        SCOPED_TRACE(testing::PrintToString(wide));
        EXPECT_EQ(quorane::NarrowForm(wide), TwoStepNarrowForm(wide));
        EXPECT_EQ(quorane::NarrowForm(wide.c_str()), TwoStepNarrowForm(wide));
    }
}

TEST(WideForm, DecodesUpToTheFirstNulAndLeavesIllFormedBytesOut) {
    EXPECT_EQ(quorane::WideForm(std::string("a\0b", 3)), L"a");
    EXPECT_EQ(quorane::WideForm("\xC3\xA9t\xC3\xA9"), L"\u00E9t\u00E9");
    EXPECT_EQ(quorane::WideForm("x\xFFy"), L"xy");
    EXPECT_EQ(quorane::WideForm(static_cast<const char*>(nullptr)), L"");
    EXPECT_EQ(quorane::NarrowForm(static_cast<const wchar_t*>(nullptr)), "");
    // A round trip through both forms keeps valid text.
    const std::wstring text = Units({'p', 0xE9, 0x4E2D, 0x1F600});
    EXPECT_EQ(quorane::WideForm(quorane::NarrowForm(text)), text);
}

}  // namespace
