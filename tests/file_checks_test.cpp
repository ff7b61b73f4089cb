// Tests of the file access checks: times, counts, readability, writability.
#include "utils/FileChecks.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Utils.h"

namespace {

using quorane::test::ReadFile;
using quorane::test::RunUnprivileged;
using quorane::test::TempDir;
using quorane::test::WriteFile;
namespace fs = boost::filesystem;

std::set<std::string> Entries(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().string());
    return names;
}

// Skips the test unless its unprivileged parts can run.
#define REQUIRE_UNPRIVILEGED_CHILD()                                                   \
    if (!quorane::test::CanDropPrivileges())                                           \
    GTEST_SKIP() << "cannot run a child as an unprivileged user, so permissions that " \
                    "root passes cannot be refused"

TEST(GetFileTimes, ReadsThePathItself) {
    TempDir dir;
    WriteFile(dir / "old", "x");
    const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "old").c_str(), old, 0), 0);
    fs::create_symlink(dir / "old", dir / "link");
    WriteFile(dir / "caf\xC3\xA9", "fresh");

    int64_t change = 0, modify = 0, access = 0;
    ASSERT_TRUE(GetFileTimes((dir / "old").string(), &change, &modify, &access));
    EXPECT_EQ(modify, 1000000000);
    EXPECT_EQ(access, 1000000000);

    const int64_t now = std::time(nullptr);
    ASSERT_TRUE(GetFileTimes((dir / "link").wstring(), &change, &modify, &access));
    EXPECT_LE(std::abs(modify - now), 1);  // the link's own time, not its target's
    ASSERT_TRUE(GetFileTimes((dir / "caf\xC3\xA9").string(), &change, &modify, nullptr));
    EXPECT_LE(std::abs(modify - now), 1);
    EXPECT_LE(std::abs(change - now), 1);
    EXPECT_TRUE(GetFileTimes((dir / "old").wstring(), nullptr, nullptr, nullptr));
}

TEST(GetFileTimes, MissingPathOrTargetLeavesTheValues) {
    TempDir dir;
    fs::create_symlink(dir / "missing", dir / "dangling");
    for (const char* name : {"missing", "dangling"}) {
        SCOPED_TRACE(name);
        int64_t change = -7, modify = -8, access = -9;
        EXPECT_FALSE(GetFileTimes((dir / name).string(), &change, &modify, &access));
        EXPECT_FALSE(GetFileTimes((dir / name).wstring(), &change, &modify, &access));
        EXPECT_EQ(change, -7);
        EXPECT_EQ(modify, -8);
        EXPECT_EQ(access, -9);
    }
}

TEST(GetFileCount, AddsRegularFilesAndLinksToThem) {
    TempDir dir;
    fs::create_directories(dir / "tree/sub/empty");
    fs::create_directories(dir / "elsewhere");
    WriteFile(dir / "tree/one", "1");
    WriteFile(dir / "tree/sub/two", "2");
    WriteFile(dir / "elsewhere/a", "a");
    WriteFile(dir / "elsewhere/b", "b");
    fs::create_symlink(dir / "tree/one", dir / "tree/sub/file-link");
    fs::create_symlink(dir / "missing", dir / "tree/dangling");
    fs::create_directory_symlink(dir / "elsewhere", dir / "tree/dir-link");
    int32_t counter = 5;
    GetFileCount((dir / "tree").wstring(), counter);
    EXPECT_EQ(counter, 8);

    counter = 3;
    EXPECT_NO_THROW(GetFileCount((dir / "missing").wstring(), counter));
    EXPECT_EQ(counter, 3);
    EXPECT_THROW(GetFileCount((dir / "tree/one").wstring(), counter), fs::filesystem_error);
}

TEST(GetFileCount, LinkThatCannotBeResolvedOtherThanMissingRaises) {
    // A link loop is no missing target: its status query fails and the error
    // reaches the caller, while a dangling link beside it counts nothing.
    TempDir dir;
    fs::create_directories(dir / "tree");
    fs::create_symlink(dir / "tree/loop", dir / "tree/loop");
    int32_t counter = 0;
    EXPECT_THROW(GetFileCount((dir / "tree").wstring(), counter), fs::filesystem_error);
    fs::remove(dir / "tree/loop");
    fs::create_symlink(dir / "nowhere", dir / "tree/dangling");
    WriteFile(dir / "tree/file", "x");
    EXPECT_NO_THROW(GetFileCount((dir / "tree").wstring(), counter));
    EXPECT_EQ(counter, 1);
}

TEST(GetFileCount, UnreadableDirectoryRaises) {
    REQUIRE_UNPRIVILEGED_CHILD();
    TempDir dir;
    fs::permissions(dir.path(), fs::perms(0755));
    fs::create_directories(dir / "tree/locked");
    WriteFile(dir / "tree/locked/hidden", "x");
    fs::permissions(dir / "tree/locked", fs::perms(0700));
    const auto result = RunUnprivileged([&] {
        int32_t counter = 0;
        try {
            GetFileCount((dir / "tree").wstring(), counter);
        } catch (const fs::filesystem_error&) {
            return 0;
        }
        return 1;
    });
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, 0);
}

TEST(IsReadable, FilesAndDirectories) {
    TempDir dir;
    WriteFile(dir / "empty", "");
    WriteFile(dir / "full", "data");
    fs::create_directories(dir / "emptydir");
    fs::create_directories(dir / "fulldir/x");
    fs::create_symlink(dir / "missing", dir / "dangling");
    const std::pair<const char*, bool> cases[] = {
        {"empty", true},   {"full", true},     {"emptydir", true},
        {"fulldir", true}, {"missing", false}, {"dangling", false},
    };
    for (const auto& [name, expected] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(IsReadable((dir / name).wstring()), expected);
    }
}

TEST(IsReadable, FifoWithoutWriterAnswersInsteadOfWaiting) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    // Run in a child with an alarm, so that a check that blocks fails the test
    // instead of hanging it.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(10);
        _exit(IsReadable((dir / "fifo").wstring()) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "IsReadable blocked on a FIFO";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(IsWritable, DirectoryProbeLeavesNoTrace) {
    TempDir dir;
    WriteFile(dir / "keep", "x");
    const auto before = Entries(dir.path());
    EXPECT_TRUE(IsWritable(dir.path().wstring()));
    EXPECT_EQ(Entries(dir.path()), before);
    EXPECT_TRUE(IsWritable((dir / "keep").wstring()));
    EXPECT_FALSE(IsWritable((dir / "missing").wstring()));
    EXPECT_FALSE(IsWritable(std::wstring()));
}

TEST(IsReadableIsWritable, RefusedPermissionsForAnUnprivilegedUser) {
    REQUIRE_UNPRIVILEGED_CHILD();
    TempDir dir;
    fs::permissions(dir.path(), fs::perms(0755));
    struct Case {
        const char* name;
        fs::perms mode;
        bool directory, readable, writable;
    };
    const Case cases[] = {
        {"shared", fs::perms(0666), false, true, true},
        {"readonly", fs::perms(0644), false, true, false},
        {"secret", fs::perms(0600), false, false, false},
        {"open", fs::perms(0777), true, true, true},
        {"closed", fs::perms(0755), true, true, false},
        {"unlistable", fs::perms(0711), true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path path = dir / c.name;
        c.directory ? void(fs::create_directory(path)) : WriteFile(path, "x");
        fs::permissions(path, c.mode);
        const auto readable = RunUnprivileged([&] { return IsReadable(path.wstring()); });
        const auto writable = RunUnprivileged([&] { return IsWritable(path.wstring()); });
        ASSERT_TRUE(readable && writable);
        EXPECT_EQ(*readable != 0, c.readable);
        EXPECT_EQ(*writable != 0, c.writable);
        // The directory probe never survives, whether it could be made or not.
        if (c.directory) {
            EXPECT_TRUE(fs::is_empty(path));
        }
    }
}

TEST(WriteProbe, NeverTouchesAnExistingFile) {
    TempDir dir;
    WriteFile(dir / "taken", "precious");
    EXPECT_FALSE(quorane::WriteProbe((dir / "taken").string()));
    EXPECT_EQ(ReadFile(dir / "taken"), "precious");

    EXPECT_TRUE(quorane::WriteProbe((dir / "fresh").string()));
    EXPECT_FALSE(fs::exists(dir / "fresh"));
}

}  // namespace
