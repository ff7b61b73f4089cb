// Tests of the file access checks: times, counts, readability, writability.
#include "utils/FileChecks.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/openat2.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <quorane/Utils.h>
#include "DeepTreeSupport.h"
#include "TestSupport.h"
#include "base/FileDescriptor.h"

namespace {

using quorane::test::MakeChain;
using quorane::test::OpenDescriptors;
using quorane::test::ReadFile;
using quorane::test::RemoveDeep;
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

TEST(FileChecks, PathsNotThereOrWhoseLookupFailsAreNeitherThereNorUsable) {
    // A missing path and a link to nothing are not there. A loop of links and
    // a name longer than any file system takes: the lookup fails with an
    // error of its own, not "not there". Each check answers no instead of
    // throwing, and the times are left as they were.
    TempDir dir;
    fs::create_symlink(dir / "missing", dir / "dangling");
    fs::create_symlink(dir / "loop", dir / "loop");
    for (const std::string& name : {std::string("missing"), std::string("dangling"),
                                    std::string("loop"), std::string(300, 'n')}) {
        SCOPED_TRACE(name);
        const fs::path path = dir / name;
        int64_t change = -7, modify = -8, access = -9;
        EXPECT_FALSE(GetFileTimes(path.string(), &change, &modify, &access));
        EXPECT_FALSE(GetFileTimes(path.wstring(), &change, &modify, &access));
        EXPECT_EQ(change, -7);
        EXPECT_EQ(modify, -8);
        EXPECT_EQ(access, -9);
        EXPECT_FALSE(IsReadable(path.wstring()));
        EXPECT_FALSE(IsWritable(path.wstring()));
    }
    EXPECT_FALSE(IsReadable(std::wstring()));
    EXPECT_FALSE(IsWritable(std::wstring()));
}

// A tree of every kind of entry: files, directories, links to each, a link
// to nothing and a FIFO; four regular files are counted.
void MakeMixedTree(const TempDir& dir) {
    fs::create_directories(dir / "tree/sub/empty");
    fs::create_directories(dir / "elsewhere");
    WriteFile(dir / "tree/one", "1");
    WriteFile(dir / "tree/sub/two", "2");
    WriteFile(dir / "tree/sub/three", "3");
    WriteFile(dir / "elsewhere/outside", "x");
    fs::create_symlink(dir / "tree/one", dir / "tree/sub/file-link");
    fs::create_directory_symlink(dir / "elsewhere", dir / "tree/dir-link");
    fs::create_symlink(dir / "missing", dir / "tree/dangling");
    ASSERT_EQ(::mkfifo((dir / "tree/fifo").c_str(), 0600), 0);
}

TEST(GetFileCount, AddsRegularFilesAndLinksToThemAndRaisesOnALinkLoop) {
    TempDir dir;
    MakeMixedTree(dir);
    int32_t counter = 5;
    GetFileCount((dir / "tree").wstring(), counter);
    EXPECT_EQ(counter, 9);

    counter = 3;
    EXPECT_NO_THROW(GetFileCount((dir / "missing").wstring(), counter));
    EXPECT_EQ(counter, 3);
    EXPECT_THROW(GetFileCount((dir / "tree/one").wstring(), counter), fs::filesystem_error);
    // Unlike the link to nothing beside it, a link loop is no missing target:
    // its status query fails and the error reaches the caller.
    fs::create_symlink(dir / "tree/loop", dir / "tree/loop");
    EXPECT_THROW(GetFileCount((dir / "tree").wstring(), counter), fs::filesystem_error);
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

// --- The walk behind GetFileCount, fed through its listing step -----------

// What the stand-in listing readers below watch and do, one walk at a time.
struct Watch {
    std::set<int> before = OpenDescriptors();  // open before the walk
    std::size_t mostHeld = 0;                  // most descriptors the walk held at once
    bool allCloseOnExec = true;
    int regularFilesListed = 0;
    std::string failIn;                   // the listing of this directory fails with EIO
    std::function<void()> replaceVictim;  // run when the entry "victim" is listed
};
Watch* watch = nullptr;

dirent* ReadWithoutKinds(DIR* listing) {
    dirent* entry = ::readdir(listing);
    if (entry != nullptr) entry->d_type = DT_UNKNOWN;
    return entry;
}

dirent* ReadAndWatch(DIR* listing) {
    std::size_t held = 0;
    for (const int fd : OpenDescriptors()) {
        if (watch->before.count(fd) != 0) continue;
        ++held;
        if ((::fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) watch->allCloseOnExec = false;
    }
    watch->mostHeld = std::max(watch->mostHeld, held);

    if (!watch->failIn.empty()) {
        const fs::path listed =
            fs::read_symlink("/proc/self/fd/" + std::to_string(::dirfd(listing)));
        if (listed.filename() == watch->failIn) {
            errno = EIO;
            return nullptr;
        }
    }
    dirent* entry = ::readdir(listing);
    if (entry == nullptr) return nullptr;
    if (entry->d_type == DT_REG) ++watch->regularFilesListed;
    if (watch->replaceVictim && std::string(entry->d_name) == "victim") {
        watch->replaceVictim();
        watch->replaceVictim = nullptr;
    }
    return entry;
}

// Makes openat2 fail with ENOSYS in this process from now on, as on kernels
// before 5.6 or in sandboxes that filter it, so that the walk takes its
// other way. Call it in a child process only. False when it cannot be done.
bool DenyOpenat2() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
    if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) return false;
    open_how how{};
    how.flags = O_RDONLY;
    return ::syscall(SYS_openat2, AT_FDCWD, ".", &how, sizeof how) == -1 && errno == ENOSYS;
}

constexpr int kNoSeccomp = 250;

// Both ways the walk opens a directory: with openat2, and without it.
struct OpenWay {
    const char* name;
    bool withoutOpenat2;
};
constexpr OpenWay kOpenWays[] = {{"openat2", false}, {"openat and a status of '.'", true}};

// Runs `body` in a child process, without openat2 there when the way says
// so, and returns what it returns.
std::optional<int> RunWithOpenWay(const OpenWay& way, const std::function<int()>& body) {
    const auto result = quorane::test::RunInChild(
        [&] { return std::to_string(way.withoutOpenat2 && !DenyOpenat2() ? kNoSeccomp : body()); });
    if (!result) return std::nullopt;
    return std::stoi(*result);
}

// The count of `root` in a child, or -1 when the walk raised.
int CountInChild(const OpenWay& way, const fs::path& root,
                 quorane::ReadDirectoryEntry read = ::readdir) {
    const auto result = RunWithOpenWay(way, [&] {
        int32_t counter = 0;
        try {
            quorane::CountRegularFiles(root.string(), counter, read);
        } catch (const fs::filesystem_error&) {
            return 199;
        }
        return static_cast<int>(counter);
    });
    if (result == kNoSeccomp) return -2;
    return result && *result != 199 ? *result : -1;
}

#define SKIP_WITHOUT_SECCOMP(count)                                       \
    if ((count) == -2)                                                    \
    GTEST_SKIP() << "openat2 cannot be filtered here, so the walk's way " \
                    "without it cannot be taken"

TEST(CountRegularFiles, ListingWithoutKindsCountsTheSame) {
    // Some filesystems leave the kind of every entry unknown in the listing;
    // the walk asks each entry's status then, and must count alike.
    TempDir dir;
    MakeMixedTree(dir);
    for (const OpenWay& way : kOpenWays) {
        SCOPED_TRACE(way.name);
        const int counted = CountInChild(way, dir / "tree");
        SKIP_WITHOUT_SECCOMP(counted);
        EXPECT_EQ(counted, 4);
        EXPECT_EQ(CountInChild(way, dir / "tree", ReadWithoutKinds), 4);
    }

    fs::create_symlink(dir / "tree/sub/loop", dir / "tree/sub/loop");
    int32_t counter = 0;
    try {
        quorane::CountRegularFiles((dir / "tree").string(), counter, ReadWithoutKinds);
        ADD_FAILURE() << "a link loop raised nothing";
    } catch (const fs::filesystem_error& error) {
        EXPECT_EQ(error.code().value(), ELOOP);
        EXPECT_EQ(error.path1(), dir / "tree/sub/loop");
    }
}

TEST(CountRegularFiles, DirectoryChangedAfterItsListingCountsAsWhatItIsNow) {
    // The listing says "victim" is a directory; by the time the walk opens
    // it, it is something else.
    struct Case {
        const char* now;
        std::function<void(const fs::path& victim, const fs::path& dir)> replace;
        int expected;  // "keep" and whatever the victim adds
    };
    const Case cases[] = {
        {"a regular file", [](const fs::path& v, const fs::path&) { WriteFile(v, "x"); }, 2},
        {"a link to a file",
         [](const fs::path& v, const fs::path& d) { fs::create_symlink(d / "tree/keep", v); }, 2},
        {"a link to a directory",
         [](const fs::path& v, const fs::path& d) {
             fs::create_directory_symlink(d / "elsewhere", v);
         },
         1},
        {"a FIFO", [](const fs::path& v, const fs::path&) { ::mkfifo(v.c_str(), 0600); }, 1},
        {"nothing", [](const fs::path&, const fs::path&) {}, 1},
    };
    for (const OpenWay& way : kOpenWays) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(way.name) + ", now " + c.now);
            TempDir dir;
            fs::create_directories(dir / "tree/victim");
            fs::create_directories(dir / "elsewhere");
            WriteFile(dir / "tree/keep", "k");
            for (const char* name : {"a", "b", "c"}) WriteFile(dir / "tree/victim" / name, "v");
            for (const char* name : {"d", "e"}) WriteFile(dir / "elsewhere" / name, "e");
            Watch watching;
            const fs::path victim = dir / "tree/victim";
            const fs::path& base = dir.path();
            watching.replaceVictim = [&] {
                fs::remove_all(victim);
                c.replace(victim, base);
            };
            watch = &watching;
            const int counted = CountInChild(way, dir / "tree", ReadAndWatch);
            watch = nullptr;
            SKIP_WITHOUT_SECCOMP(counted);
            EXPECT_EQ(counted, c.expected);
        }
    }
}

// Three levels below the start, two or three directories on each, a file in
// every directory: 1 + 3 + 6 + 12 = 22 files, 4 levels of open directories.
void MakeBranchingTree(const fs::path& root) {
    const std::vector<std::vector<std::string>> names = {
        {"a1", "a2", "a3"}, {"b1", "b2"}, {"c1", "c2"}};
    std::vector<fs::path> directories = {root};
    std::vector<fs::path> level = {root};
    for (const std::vector<std::string>& namesBelow : names) {
        std::vector<fs::path> below;
        for (const fs::path& parent : level) {
            for (const std::string& name : namesBelow) below.push_back(parent / name);
        }
        directories.insert(directories.end(), below.begin(), below.end());
        level = below;
    }
    for (const fs::path& directory : directories) {
        fs::create_directories(directory);
        WriteFile(directory / "file", "x");
    }
}

TEST(CountRegularFiles, HoldsOneCloseOnExecDescriptorPerLevel) {
    TempDir dir;
    MakeBranchingTree(dir / "tree");
    for (const OpenWay& way : kOpenWays) {
        SCOPED_TRACE(way.name);
        const auto result = RunWithOpenWay(way, [&] {
            Watch watching;
            watch = &watching;
            int32_t counter = 0;
            quorane::CountRegularFiles((dir / "tree").string(), counter, ReadAndWatch);
            // One bit per broken promise, so that the parent can tell which.
            return (counter == 22 ? 0 : 1) | (watching.mostHeld <= 4 ? 0 : 2) |
                   (watching.mostHeld >= 1 ? 0 : 4) | (watching.allCloseOnExec ? 0 : 8) |
                   (OpenDescriptors() == watching.before ? 0 : 16);
        });
        if (result == kNoSeccomp) GTEST_SKIP() << "openat2 cannot be filtered here";
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(*result & 1, 0) << "wrong count";
        EXPECT_EQ(*result & 2, 0) << "more than one descriptor per level";
        EXPECT_EQ(*result & 4, 0) << "the watch saw no descriptor at all";
        EXPECT_EQ(*result & 8, 0) << "a descriptor without close-on-exec";
        EXPECT_EQ(*result & 16, 0) << "a descriptor left open";
    }
}

TEST(CountRegularFiles, ErrorInTheMiddleKeepsTheCountAndClosesEverything) {
    struct Case {
        const char* fault;
        const char* failIn;  // listing that fails with EIO, or none
        const char* loopIn;  // directory holding a link loop, or none
        int code;
        const char* path1;  // below the start directory ("." for itself), or none
    };
    const Case cases[] = {
        {"listing of the start fails at once", "tree", nullptr, EIO, "."},
        {"listing three levels down fails", "c2", nullptr, EIO, nullptr},
        {"link loop three levels down", nullptr, "a2/b1/c1", ELOOP, "a2/b1/c1/loop"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        TempDir dir;
        const fs::path root = dir / "tree";
        MakeBranchingTree(root);
        if (c.loopIn != nullptr) fs::create_symlink("loop", root / c.loopIn / "loop");
        Watch watching;
        if (c.failIn != nullptr) watching.failIn = c.failIn;
        watch = &watching;
        int32_t counter = 100;
        try {
            quorane::CountRegularFiles(root.string(), counter, ReadAndWatch);
            ADD_FAILURE() << "nothing raised";
        } catch (const fs::filesystem_error& error) {
            EXPECT_EQ(error.code().value(), c.code);
            const fs::path path1 = c.path1 == nullptr            ? fs::path()
                                   : std::string(c.path1) == "." ? root
                                                                 : root / c.path1;
            EXPECT_EQ(error.path1(), path1);
        }
        watch = nullptr;
        // Every regular file listed before the fault was counted, and no more.
        EXPECT_EQ(counter, 100 + watching.regularFilesListed);
        EXPECT_EQ(OpenDescriptors(), watching.before);
    }
}

TEST(CountRegularFiles, ListableDirectoryThatCannotBeSearchedRaisesAtItsFirstEntry) {
    // Read permission without search permission: the listing shows the
    // names, but no entry can be reached, and the walk raises as a status
    // query of the first one would. An empty one lists nothing and raises
    // nothing. Run as an unprivileged user, whom the permissions bind.
    REQUIRE_UNPRIVILEGED_CHILD();
    struct Case {
        const char* name;
        fs::perms mode;
        const char* onlyFile;  // the directory's one entry, or none
        int code;              // 0: nothing raised
        bool pathNamed;        // the error names the entry
    };
    const Case cases[] = {
        {"listable only", fs::perms(0704), "only", EACCES, true},
        {"listable only, empty", fs::perms(0704), nullptr, 0, false},
        {"searchable only", fs::perms(0701), "only", EACCES, false},
    };
    for (const OpenWay& way : kOpenWays) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(way.name) + ", " + c.name);
            TempDir dir;
            fs::permissions(dir.path(), fs::perms(0755));
            fs::create_directories(dir / "tree/locked");
            WriteFile(dir / "tree/file", "x");
            if (c.onlyFile != nullptr) WriteFile(dir / "tree/locked" / c.onlyFile, "x");
            fs::permissions(dir / "tree/locked", c.mode);
            const fs::path expectedPath =
                c.pathNamed ? dir / "tree/locked" / c.onlyFile : fs::path();
            const auto result = RunUnprivileged([&] {
                if (way.withoutOpenat2 && !DenyOpenat2()) return kNoSeccomp;
                int32_t counter = 0;
                try {
                    quorane::CountRegularFiles((dir / "tree").string(), counter);
                } catch (const fs::filesystem_error& error) {
                    if (error.code().value() != c.code) return 1;
                    return error.path1() == expectedPath ? 0 : 2;
                }
                return c.code == 0 && counter == 1 ? 0 : 3;
            });
            if (result == kNoSeccomp) GTEST_SKIP() << "openat2 cannot be filtered here";
            ASSERT_TRUE(result.has_value());
            EXPECT_EQ(*result, 0) << "1: wrong code, 2: wrong path, 3: wrong count or no error";
        }
    }
}

// --- Deep trees: any depth, past PATH_MAX, a fixed number of descriptors ----

// The path of the file "f" at the bottom of a chain, as the errors name it.
fs::path ChainPath(const fs::path& root, int depth, const char* last) {
    std::string path = root.string();
    for (int level = 0; level < depth; ++level) path += "/d";
    return path + "/" + last;
}

TEST(GetFileCount, ChainPastPathMaxCountsAndNamesItsErrors) {
    // 3,000 levels of "d/": the deepest paths are three times PATH_MAX long.
    constexpr int kDepth = 3000;
    TempDir dir;
    {
        const quorane::FileDescriptor bottom = MakeChain(dir / "tree", kDepth);
        ASSERT_TRUE(bottom.valid());
    }
    struct Case {
        const char* name;
        bool smallLimit;  // at most 16 descriptors open
        bool loopAtTheBottom;
        std::string outcome;
    };
    const Case cases[] = {
        {"counted", false, false, "counted " + std::to_string(10 + kDepth)},
        // Deeper than the limit allows descriptors, so a walk holding one per
        // level cannot count it.
        {"counted under a small open-file limit", true, false,
         "counted " + std::to_string(10 + kDepth)},
        {"a link loop at the bottom", false, true,
         "raised " + std::to_string(ELOOP) + " at " +
             ChainPath(dir / "tree", kDepth, "loop").string()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.loopAtTheBottom) {
            const quorane::FileDescriptor bottom(
                ::open((dir / "tree").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            // Reached level by level: its path is too long for one call.
            quorane::FileDescriptor current(::dup(bottom.get()));
            for (int level = 0; level < kDepth && current.valid(); ++level)
                current = quorane::FileDescriptor(
                    ::openat(current.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            ASSERT_TRUE(current.valid());
            ASSERT_EQ(::symlinkat("loop", current.get(), "loop"), 0);
        }
        const auto outcome = quorane::test::RunInChild([&] {
            const rlimit small = {16, 16};
            if (c.smallLimit && ::setrlimit(RLIMIT_NOFILE, &small) != 0)
                return std::string("no limit");
            const std::set<int> before = OpenDescriptors();
            int32_t counter = 10;
            std::string text;
            try {
                GetFileCount((dir / "tree").wstring(), counter);
                text = "counted " + std::to_string(counter);
            } catch (const fs::filesystem_error& error) {
                text = "raised " + std::to_string(error.code().value()) + " at " +
                       error.path1().string();
            }
            return text + (OpenDescriptors() == before ? "" : ", descriptors left open");
        });
        EXPECT_EQ(outcome.value_or("child failed"), c.outcome);
    }
    RemoveDeep(dir / "tree");
}

TEST(IsReadableIsWritable, FilesDirectoriesAndAFifo) {
    TempDir dir;
    WriteFile(dir / "empty", "");
    WriteFile(dir / "full", "data");
    fs::create_directories(dir / "emptydir");
    fs::create_directories(dir / "fulldir/x");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    // A FIFO without a writer is readable: the check answers instead of
    // waiting for one.
    for (const char* name : {"empty", "full", "emptydir", "fulldir", "fifo"}) {
        SCOPED_TRACE(name);
        const fs::path path = dir / name;
        const bool directory = fs::is_directory(path);
        const std::set<std::string> before = directory ? Entries(path) : std::set<std::string>();
        // In a child with an alarm, so that a check that blocks fails the row
        // instead of hanging the suite.
        const auto answers = quorane::test::RunInChild(
            [&] {
                return std::string(IsReadable(path.wstring()) ? "r" : "-") +
                       (IsWritable(path.wstring()) ? "w" : "-");
            },
            10);
        EXPECT_EQ(answers.value_or("a check waited"), "rw");
        // The directory probe leaves no trace.
        if (directory) {
            EXPECT_EQ(Entries(path), before);
        }
    }
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

TEST(IsOpenAnotherProcess, FalseEvenForAFileAnotherProcessHoldsOpen) {
    TempDir dir;
    WriteFile(dir / "held", "x");
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        const int fd = ::open((dir / "held").c_str(), O_RDONLY | O_CLOEXEC);
        (void)!::write(ready[1], fd >= 0 ? "y" : "n", 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char opened = 0;
    ASSERT_EQ(::read(ready[0], &opened, 1), 1);
    ::close(ready[0]);
    EXPECT_EQ(opened, 'y');
    EXPECT_FALSE(IsOpenAnotherProcess((dir / "held").wstring()));
    EXPECT_FALSE(IsOpenAnotherProcess((dir / "missing").wstring()));
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
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
