// Path strings: the join in all its overloads, directory part, separator
// conversion, home directory.
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include <quorane/Utils.h>
#include "base/Text.h"

using namespace std::string_literals;

namespace {

struct JoinCase {
    std::string base, part, joined;
};

const JoinCase kJoinCases[] = {
    {"", "", ""},
    {"", "b", "b"},
    {"", "/b", "/b"},
    {"a", "", "a"},
    {"a", "b", "a/b"},
    {"a/", "b", "a/b"},
    {"a", "/b", "a/b"},
    {"a/", "/b", "a//b"},
    {"a\\b", "c", "a\\b/c"},
    {"/", "x", "/x"},
    {"a", "b/", "a/b/"},
    {"a/..", "./b", "a/.././b"},
    {"caf\xC3\xA9", "\xC3\xA9t\xC3\xA9", "caf\xC3\xA9/\xC3\xA9t\xC3\xA9"},
};

TEST(AppendPath, EveryOverloadFollowsTheJoinRuleOnCleanText) {
    for (const JoinCase& c : kJoinCases) {
        SCOPED_TRACE("base '" + c.base + "' part '" + c.part + "'");
        const std::wstring wideBase = quorane::WideForm(c.base);
        const std::wstring widePart = quorane::WideForm(c.part);
        const std::wstring wideJoined = quorane::WideForm(c.joined);

        EXPECT_EQ(AppendPathToString(c.base, c.part), c.joined);
        EXPECT_EQ(AppendPathToString(wideBase, widePart), c.joined);
        EXPECT_EQ(AppendPathToString(wideBase, c.part), c.joined);
        EXPECT_EQ(AppendPathToString(c.base, widePart), c.joined);
        EXPECT_EQ(AppendPath(wideBase, widePart), wideJoined);
        EXPECT_EQ(AppendPath(wideBase, c.part), wideJoined);
        EXPECT_EQ(AppendPath(c.base, c.part), wideJoined);
        EXPECT_EQ(AppendPath(c.base, widePart), wideJoined);
    }
}

TEST(AppendPathToString, NarrowJoinKeepsEveryByte) {
    // Bytes only: embedded NULs and invalid UTF-8 stay where they are.
    EXPECT_EQ(AppendPathToString("a\0b"s, "c\xFF"s), "a\0b/c\xFF"s);
    EXPECT_EQ(AppendPathToString(""s, "x\0y"s), "x\0y"s);
}

TEST(AppendPath, ConversionDropsMalformedTextAndStopsAtNul) {
    // A non-empty part that converts to nothing still gets its separator.
    EXPECT_EQ(AppendPath(L"a"s, "\xFF\xFE"s), L"a/");
    EXPECT_EQ(AppendPath(L"a/"s, "\xFF"s), L"a/");
    EXPECT_EQ(AppendPath(L""s, "\xFF"s), L"");
    // Narrow input is read up to its first NUL byte.
    EXPECT_EQ(AppendPath(L"a"s, "b\0c"s), L"a/b");
    EXPECT_EQ(AppendPath("a\0z"s, L"b"s), L"a/b");
    // ...but the narrow-narrow join keeps the NUL, and only the final
    // conversion cuts there.
    EXPECT_EQ(AppendPath("a\0z"s, "b"s), L"a");
    // Wide input is read up to its first NUL unit; surrogates and values
    // beyond U+10FFFF are no characters and are left out.
    EXPECT_EQ(AppendPathToString(L"a"s, L"b\0c"s), "a/b");
    EXPECT_EQ(AppendPathToString(std::wstring{L'a', wchar_t(0xD800), L'b'}, L"c"s), "ab/c");
    EXPECT_EQ(AppendPathToString(std::wstring{wchar_t(0x110000)}, L"c"s), "/c");
    // A stray byte inside a part is skipped, the rest kept.
    EXPECT_EQ(AppendPathToString(L"d"s, "x\xFFy"s), "d/xy");
}

TEST(ExtractFilePath, CutsAfterTheLastBackslashElseTheLastSlash) {
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"", L""},
        {L"file.txt", L""},
        {L"/usr/lib/file", L"/usr/lib/"},
        {L"/usr/lib/", L"/usr/lib/"},
        {L"C:\\dir\\file", L"C:\\dir\\"},
        {L"a\\b/c/d", L"a\\"},  // a backslash anywhere wins over slashes
        {L"a/b\\c", L"a/b\\"},
        {L"/", L"/"},
    };
    for (const auto& [path, directory] : cases) {
        SCOPED_TRACE(quorane::NarrowForm(path));
        EXPECT_EQ(ExtractFilePath(path), directory);
    }
}

TEST(ConvertFilePath, TurnsEveryBackslashIntoASlash) {
    EXPECT_EQ(ConvertFilePath(L""), L"");
    EXPECT_EQ(ConvertFilePath(L"a/b"), L"a/b");
    EXPECT_EQ(ConvertFilePath(L"C:\\a\\\\b\\"), L"C:/a//b/");
    EXPECT_EQ(ConvertFilePath(L"\\\u00e9\\"), L"/\u00e9/");
}

// Sets or clears environment variables for one test and restores them.
class ScopedEnvironment {
public:
    void Set(const char* name, const char* value) {
        if (!saved_.count(name)) {
            const char* old = std::getenv(name);
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

TEST(GetHomeDir, FallsBackFromHomeToHomeDriveToHomePath) {
    struct Case {
        const char *home, *drive, *path, *expected;
    };
    const Case cases[] = {
        {"/home/u/", "C:", "\\Users\\u", "/home/u/"},  // unchanged, trailing "/" kept
        {"", "C:", "\\Users\\u", "C:"},                // empty counts as unset
        {nullptr, "C:", "\\Users\\u", "C:"},
        {nullptr, "", "\\Users\\u", "\\Users\\u"},  // never combined
        {"", nullptr, "", ""},
        {nullptr, nullptr, nullptr, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("expecting '") + c.expected + "'");
        ScopedEnvironment env;
        env.Set("HOME", c.home);
        env.Set("HOMEDRIVE", c.drive);
        env.Set("HOMEPATH", c.path);
        EXPECT_EQ(GetHomeDir(), c.expected);
    }
}

TEST(GetUniversalName, IsEmptyAndLeavesItsArgumentsAlone) {
    std::wstring server = L"srv", share = L"shr";
    EXPECT_EQ(GetUniversalName(L"\\\\srv\\shr\\f", server, share), L"");
    EXPECT_EQ(server, L"srv");
    EXPECT_EQ(share, L"shr");
}

}  // namespace
