// Tests of CQuoraneFile: its closed and open states, raw and text I/O,
// positions and truncation.
#include <quorane/QuoraneFile.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include <quorane/Utils.h>
#include "TestSupport.h"

namespace {

using quorane::test::ReadFile;
using quorane::test::TempDir;
using quorane::test::WriteFile;

TEST(CQuoraneFileOpen, PathKeptOnFailureAndModeIs0777LessUmask) {
    TempDir dir;
    CQuoraneFile missing((dir / "caf\xC3\xA9").string(), O_RDONLY);
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_EQ(missing.GetFilePath(), AppendPath(dir.str(), std::wstring(L"caf\u00e9")));

    const mode_t old = ::umask(022);
    CQuoraneFile created(AppendPath(dir.str(), std::wstring(L"\u00fcber")), O_WRONLY | O_CREAT);
    ::umask(old);
    ASSERT_TRUE(created.IsOpen());
    EXPECT_EQ(created.Read(nullptr, 4), -1);
    EXPECT_EQ(created.Write(nullptr, 4), -1);
    EXPECT_EQ(created.Write("x", 0), 0);
    EXPECT_EQ(created.Write("abc", 3), 3);
    EXPECT_TRUE(created.Close());
    struct stat info {};
    ASSERT_EQ(::stat((dir / "\xC3\xBC"
                            "ber")
                         .c_str(),
                     &info),
              0);
    EXPECT_EQ(info.st_mode & 0777, 0755u);
    EXPECT_EQ(info.st_size, 3);
    EXPECT_EQ(ReadFile(dir / "\xC3\xBC"
                             "ber"),
              "abc");
}

TEST(CQuoraneFileWriteText, WritesTheExpectedBytes) {
    struct Case {
        const char* name;
        bool wide;
        std::string narrow;
        std::wstring text;
        std::string bytes;
    };
    const Case cases[] = {
        {"narrow keeps an inner NUL", false, std::string("a\0b", 3), L"", std::string("a\0b", 3)},
        {"empty narrow", false, "", L"", ""},
        {"empty wide", true, "", L"", ""},
        {"wide as UTF-8", true, "", L"\u00e9\U0001F600", "\xC3\xA9\xF0\x9F\x98\x80"},
        {"wide stops at NUL", true, "", std::wstring(L"a\0b", 3), "a"},
        {"wide drops a surrogate", true, "", std::wstring{L'x', wchar_t(0xD800), L'y'}, "xy"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        WriteFile(dir / "f", "");
        CQuoraneFile file((dir / "f").string(), O_WRONLY);
        EXPECT_TRUE(c.wide ? file.Write(c.text) : file.Write(c.narrow));
        EXPECT_TRUE(file.Close());
        EXPECT_EQ(ReadFile(dir / "f"), c.bytes);
    }
}

TEST(CQuoraneFileReadText, ReadsTheRestOfTheFile) {
    struct Case {
        const char* name;
        std::string content;
        uint64_t skip;
        std::wstring wide;
    };
    const Case cases[] = {
        {"stops at NUL", std::string("ab\0c", 4), 0, L"ab"},
        {"keeps the byte-order mark",
         "\xEF\xBB\xBF"
         "a",
         0, L"\ufeffa"},
        {"drops ill-formed bytes", "a\xFFz\xC3", 0, L"az"},
        {"from the current position", "abcdef", 3, L"def"},
        {"several chunks", std::string(10000, 'q') + "\xC3\xA9", 0,
         std::wstring(10000, L'q') + L"\u00e9"},
        {"at end of file", "abc", 3, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        WriteFile(dir / "f", c.content);
        CQuoraneFile bytes((dir / "f").string(), O_RDONLY);
        CQuoraneFile text((dir / "f").wstring(), O_RDONLY);
        std::string head(c.skip, '\0');
        EXPECT_EQ(bytes.Read(head.data(), c.skip), static_cast<int32_t>(c.skip));
        EXPECT_EQ(text.Seek(c.skip, SEEK_SET), static_cast<int64_t>(c.skip));
        EXPECT_EQ(bytes.ReadToString(), c.content.substr(c.skip));
        EXPECT_EQ(text.ReadToWstring(), c.wide);
        EXPECT_EQ(bytes.ReadToString(), "");
        EXPECT_TRUE(bytes.Close() && text.Close());
    }
}

TEST(CQuoraneFileSeek, OffsetsBitForBitAndTruncateMovesThePosition) {
    TempDir dir;
    WriteFile(dir / "f", "0123456789");
    CQuoraneFile file((dir / "f").string(), O_RDWR);
    EXPECT_EQ(file.Seek(0, SEEK_END), 10);
    EXPECT_EQ(file.Seek(static_cast<uint64_t>(-4), SEEK_CUR), 6);
    EXPECT_EQ(file.ReadToString(), "6789");
    EXPECT_EQ(file.Seek(static_cast<uint64_t>(-20), SEEK_END), -1);

    ASSERT_TRUE(file.Truncate(12));
    EXPECT_EQ(file.Seek(0, SEEK_CUR), 12);
    EXPECT_EQ(ReadFile(dir / "f"), std::string("0123456789\0\0", 12));
    ASSERT_TRUE(file.Truncate(0));
    EXPECT_TRUE(file.Write(std::string("xy")));
    EXPECT_EQ(ReadFile(dir / "f"), "xy");
    EXPECT_FALSE(file.Truncate(UINT64_MAX));
    EXPECT_TRUE(file.Close());
}

TEST(CQuoraneFileLifecycle, CopiesShareTheDescriptorAndDestructionDoesNotClose) {
    TempDir dir;
    WriteFile(dir / "f", "abc");
    CQuoraneFile file((dir / "f").string(), O_RDONLY);
    // The copy is made and dropped on purpose: its destruction must not close.
    // NOLINTNEXTLINE(performance-unnecessary-copy-initialization)
    { CQuoraneFile copy = file; }
    char byte = 0;
    EXPECT_EQ(file.Read(&byte, 1), 1);

    CQuoraneFile copy = file;
    EXPECT_TRUE(copy.Close());
    EXPECT_FALSE(copy.Close());
    // The original's number is stale now: closing it fails and it stays open.
    EXPECT_FALSE(file.Close());
    EXPECT_TRUE(file.IsOpen());
    EXPECT_EQ(file.GetFilePath(), (dir / "f").wstring());
}

// Every operation of an object that was never opened fails. After a
// successful Close the object holds no descriptor: the number it had is free
// for the next file opened anywhere in the process, and nothing done through
// the closed object may reach that file.
TEST(CQuoraneFileClosed, NeverOpenedOrClosedFailsAndReachesNoFileThatReusesItsNumber) {
    struct Case {
        const char* name;
        std::function<bool(CQuoraneFile&)> failsAsDocumented;
    };
    const Case cases[] = {
        {"IsOpen", [](CQuoraneFile& f) { return !f.IsOpen(); }},
        {"Read",
         [](CQuoraneFile& f) {
             char buffer[8];
             return f.Read(buffer, sizeof buffer) == -1;
         }},
        {"ReadToString", [](CQuoraneFile& f) { return f.ReadToString().empty(); }},
        {"ReadToWstring", [](CQuoraneFile& f) { return f.ReadToWstring().empty(); }},
        {"Write of bytes", [](CQuoraneFile& f) { return f.Write("XYZ", 3) == -1; }},
        {"Write of no bytes", [](CQuoraneFile& f) { return f.Write("XYZ", 0) == -1; }},
        {"Write of narrow text", [](CQuoraneFile& f) { return !f.Write(std::string("XYZ")); }},
        {"Write of wide text", [](CQuoraneFile& f) { return !f.Write(std::wstring(L"XYZ")); }},
        {"Write of empty text", [](CQuoraneFile& f) { return !f.Write(std::string()); }},
        {"Write of empty wide text", [](CQuoraneFile& f) { return !f.Write(std::wstring()); }},
        {"Seek", [](CQuoraneFile& f) { return f.Seek(3, SEEK_SET) == -1; }},
        {"Seek to the start", [](CQuoraneFile& f) { return f.Seek(0, SEEK_SET) == -1; }},
        {"Seek to the end", [](CQuoraneFile& f) { return f.Seek(0, SEEK_END) == -1; }},
        {"Truncate", [](CQuoraneFile& f) { return !f.Truncate(2); }},
        {"Truncate to nothing", [](CQuoraneFile& f) { return !f.Truncate(0); }},
        {"Close again", [](CQuoraneFile& f) { return !f.Close(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CQuoraneFile never;
        EXPECT_TRUE(c.failsAsDocumented(never));
        EXPECT_FALSE(never.IsOpen());
        EXPECT_EQ(never.GetFilePath(), L"");

        TempDir dir;
        WriteFile(dir / "closed", "closed file");
        WriteFile(dir / "other", "other file");

        // The lowest free number is the one the object gets.
        const int probe = ::open((dir / "closed").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_NE(probe, -1);
        ASSERT_EQ(::close(probe), 0);
        CQuoraneFile file((dir / "closed").wstring(), O_RDWR);
        ASSERT_TRUE(file.IsOpen());
        ASSERT_TRUE(file.Close());
        const int other = ::open((dir / "other").c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_EQ(other, probe) << "the other file should reuse the closed object's number";
        ASSERT_EQ(::lseek(other, 1, SEEK_SET), 1);

        EXPECT_TRUE(c.failsAsDocumented(file));
        EXPECT_FALSE(file.IsOpen());
        EXPECT_EQ(file.GetFilePath(), (dir / "closed").wstring());

        // The other file: still open, at the same position, the same bytes.
        EXPECT_NE(::fcntl(other, F_GETFD), -1);
        EXPECT_EQ(::lseek(other, 0, SEEK_CUR), 1);
        EXPECT_EQ(ReadFile(dir / "other"), "other file");
        EXPECT_EQ(ReadFile(dir / "closed"), "closed file");
        ::close(other);
    }
}

}  // namespace
