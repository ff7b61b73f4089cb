// Tests of GetSubDirectory: resolved relative paths and the textual fallback.
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include <quorane/Utils.h>
#include "TestSupport.h"

namespace {

using quorane::test::TempDir;
namespace fs = boost::filesystem;

TEST(GetSubDirectory, TargetRelativeToTheResolvedBase) {
    TempDir dir;
    fs::create_directories(dir / "root/sub/dir");
    fs::create_directories(dir / "other");
    fs::create_directories(dir / "root/caf\x65\xCC\x81");
    fs::create_directory_symlink(dir / "root", dir / "alias");
    const fs::path root = dir / "root";
    struct Case {
        const char* name;
        fs::path base, target;
        std::wstring expected;
    };
    const Case cases[] = {
        {"inside", root, root / "sub/dir", L"sub/dir"},
        {"equal", root, root, L""},
        {"equal with a trailing slash", root / "", root, L""},
        {"parent", root, dir.path(), L""},
        {"sibling", root, dir / "other", L""},
        {"sibling with a common prefix", root, dir / "rootless/x", L""},
        {"not existing yet", root, root / "new/file", L"new/file"},
        {"through a link as base", dir / "alias", root / "sub", L"sub"},
        {"through a link as target", root, dir / "alias/sub/dir", L"sub/dir"},
        {"dot elements", root, root / "sub/../sub/./dir", L"sub/dir"},
        {"decomposed accent composed", root, root / "caf\x65\xCC\x81", L"caf\u00e9"},
        // A backslash is a character of a name here, but a leading dot and
        // backslash reads as the separator of the other platforms: the dot
        // goes, and two dots before it count as going up.
        {"name of a dot and a backslash", root, root / ".\\x", L"\\x"},
        {"name of two dots and a backslash", root, root / "..\\x", L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(GetSubDirectory(c.base, c.target), c.expected);
    }
}

TEST(GetSubDirectory, RelativeArgumentsAgainstTheCurrentDirectory) {
    TempDir dir;
    fs::create_directories(dir / "root/sub");
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    const std::wstring inside = GetSubDirectory("root", "root/sub/x");
    const std::wstring absoluteBase = GetSubDirectory(dir / "root", "root/sub");
    fs::current_path(previous);
    EXPECT_EQ(inside, L"sub/x");
    EXPECT_EQ(absoluteBase, L"sub");
}

TEST(GetSubDirectory, FallsBackToTheTextWhenPathsCannotBeResolved) {
    if (!quorane::test::CanDropPrivileges()) GTEST_SKIP() << "cannot run as an unprivileged user";
    TempDir dir;  // 0700 and owned by root: the unprivileged child cannot search it
    const fs::path& t = dir.path();
    struct Case {
        fs::path base, target;
        std::wstring expected;
    };
    const Case cases[] = {
        {t / "root", t / "root/sub/dir", L"sub/dir"},
        {"/a/b", t / "x/a/b/c", L"c"},  // found anywhere in the target's text
        {t / "root", t / "other", L""},
        {t / "root", t / "root/e\xCC\x81t\xCC\x81", L"\u00e9t\u0301"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const Case& c = cases[i];
        const auto result = quorane::test::RunUnprivileged([&] {
            // Confirm this case really takes the fallback.
            boost::system::error_code ec;
            fs::relative(c.target, c.base, ec);
            if (!ec) return 2;
            return GetSubDirectory(c.base, c.target) == c.expected ? 0 : 1;
        });
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(*result, 0);
    }
}

}  // namespace
