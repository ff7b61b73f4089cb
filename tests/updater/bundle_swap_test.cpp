// The bundle swap on real directories with real zip archives and the real
// unzip, through a recording wrapper around the program runner.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "BundleSwap.h"
#include "UpdaterTestSupport.h"

namespace quorane::updater {
namespace {

using test::BundleFiles;
using test::BundleVersions;
using test::GiveAway;
using test::MakeArchive;
using test::MakeBundle;
using test::Snapshot;
namespace fs = boost::filesystem;

// The names in `dir`, sorted, separated by spaces.
std::string EntryNames(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : " ") + name;
    return text;
}

// The path of what this process's descriptor `fd` has open.
std::string FdPath(int fd) {
    return fs::read_symlink("/proc/self/fd/" + std::to_string(fd)).string();
}

// The descriptors this process has open.
long OpenDescriptors() {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

class BundleSwapTest : public testing::Test {
protected:
    void SetUp() override {
        install = (root / "install dir").string();
        fs::create_directories(install);
        descriptors = OpenDescriptors();
    }

    // Whatever a swap did, it left no descriptor open behind it.
    void TearDown() override {
        if (descriptors >= 0) {
            EXPECT_EQ(OpenDescriptors(), descriptors);
        }
    }

    // The real unzip, recorded with the passed file's name written as
    // "fd:<path of the open file>" and a working directory given as a
    // descriptor as "cwd:<its path>" before the arguments; `endings` can
    // replace how each run ended, and so can `then`, called after each run.
    SwapWorld World(const std::function<ProgramResult()>& then = nullptr) {
        return SwapWorld{
            [this, then](const std::vector<std::string>& argv, const ProgramSetup& setup) {
                runs.emplace_back();
                if (setup.workingDirectory >= 0)
                    runs.back().push_back("cwd:" + FdPath(setup.workingDirectory));
                for (const std::string& arg : argv) {
                    const bool passed = setup.passedFd >= 0 && arg == kPassedFileName;
                    runs.back().push_back(passed ? "fd:" + FdPath(setup.passedFd) : arg);
                }
                // unzip's chatter stays out of the test log.
                std::vector<std::string> quiet = {"sh", "-c", "exec \"$@\" >/dev/null 2>&1", "sh"};
                quiet.insert(quiet.end(), argv.begin(), argv.end());
                ProgramResult result = RunProgram(quiet, setup);
                if (then) return then();
                if (!endings.empty()) {
                    result = endings.front();
                    endings.pop_front();
                }
                return result;
            },
            [this] {
                if (draws.empty()) return 42;
                const int number = draws.front();
                draws.pop_front();
                return number;
            },
        };
    }

    SwapOutcome Swap(const std::string& first = "first.zip",
                     const std::string& second = "second.zip") {
        return SwapBundles(install, first, second, World());
    }

    void OldBundles() { test::MakeOldBundles(install); }

    // The install directory emptied, then with both old bundles when `old`.
    void Fresh(bool old = false) {
        fs::remove_all(install);
        fs::create_directories(install);
        if (old) OldBundles();
    }

    // An archive at this path in the install directory that brings both new
    // bundles.
    void BothNew(const std::string& archive = "first.zip") {
        MakeArchive(fs::path(install) / archive,
                    {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});
    }

    test::TempDir root;
    std::string install;
    std::vector<std::vector<std::string>> runs;
    std::deque<ProgramResult> endings;
    std::deque<int> draws;
    long descriptors = -1;  // counted once the directory is set up
};

TEST_F(BundleSwapTest, ArchivesThatBringBothBundlesReplaceThem) {
    // The new bundles are then all that is left, each from the first archive
    // that holds it; an archive of no bundles is missing. The second archive
    // is unpacked first, each through its open descriptor, a missing one not
    // at all.
    using Bundles = std::vector<std::pair<std::string, std::string>>;
    const std::string es = "quoranees.app", et = "quoraneet.app";
    struct Case {
        std::string name;
        bool oldEt;  // quoraneet.app is there before the run
        Bundles first, second;
    };
    const std::vector<Case> cases = {
        {"one bundle in each archive", true, {{es, "es2"}}, {{et, "et2"}}},
        {"both hold quoranees.app", true, {{es, "es-first"}}, {{es, "es-second"}, {et, "et2"}}},
        {"first archive missing", true, {}, {{es, "es2"}, {et, "et2"}}},
        {"one bundle before the run", false, {{es, "es2"}, {et, "et2"}}, {{et, "et3"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        MakeBundle(install, es, "es1");
        if (c.oldEt) MakeBundle(install, et, "et1");
        std::map<std::string, std::string> versions;
        std::vector<std::vector<std::string>> expected;
        for (const auto& [archive, bundles] :
             {std::pair("second.zip", c.second), std::pair("first.zip", c.first)}) {
            if (bundles.empty()) continue;
            MakeArchive(fs::path(install) / archive, bundles);
            for (const auto& [bundle, version] : bundles) versions[bundle] = version;
            expected.push_back(
                {"cwd:" + install, "unzip", "-o", "fd:" + install + "/" + archive, "-d", "."});
        }
        runs.clear();

        EXPECT_EQ(Swap(), SwapOutcome::Replaced);
        EXPECT_EQ(BundleVersions(install),
                  "quoranees.app=" + versions[es] + " quoraneet.app=" + versions[et]);
        EXPECT_EQ(EntryNames(install), "quoranees.app quoraneet.app");
        EXPECT_EQ(runs, expected);
    }
}

TEST_F(BundleSwapTest, ArchivesThatFailTheUpdateLeaveTheOldBundlesExactlyAsTheyWere) {
    // Each row makes the install directory and its archives; afterwards it is
    // as it was, without the archives.
    const fs::path dir = install;
    struct Case {
        std::string name;
        std::function<void()> make;
        bool outOfMemory = false;  // std::bad_alloc thrown once unzip has run
    };
    const std::vector<Case> cases = {
        {"the second archive is missing, the first brings one bundle",
         [&] {
             OldBundles();
             fs::create_symlink("quoranees.app/Contents", dir / "keep-link");
             MakeArchive(dir / "first.zip", {{"quoranees.app", "es2"}});
         }},
        {"a damaged archive that left both bundles",
         [&] {
             OldBundles();
             BothNew();
             test::DamageLastEntry(dir / "first.zip");
         }},
        {"a truncated archive",
         [&] {
             OldBundles();
             BothNew();
             const std::string bytes = test::ReadFile(dir / "first.zip");
             test::WriteFile(dir / "second.zip", bytes.substr(0, bytes.size() / 2));
         }},
        {"nothing before and nothing unpackable",
         [&] {
             test::WriteFile(dir / "first.zip", "not a zip");
             test::WriteFile(dir / "second.zip", "");
         }},
        // The swap does not end there, with the old bundles under their
        // backup names, but puts them back as for any failed update.
        {"memory runs out once the new bundles are unpacked",
         [&] {
             OldBundles();
             BothNew();
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        c.make();
        auto before = Snapshot(install);
        before.erase("first.zip");
        before.erase("second.zip");
        const SwapWorld world =
            c.outOfMemory ? World([]() -> ProgramResult { throw std::bad_alloc(); }) : World();

        EXPECT_EQ(SwapBundles(install, "first.zip", "second.zip", world), SwapOutcome::Restored);
        EXPECT_EQ(Snapshot(install), before);
    }
}

// Makes every renameat2 that asks for an exchange of two names fail with
// EINVAL in this process from now on, as on a file system that knows no such
// swap; other renames are left alone. Call it in a child process only.
bool DenyExchanges() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_renameat2, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[4])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, RENAME_EXCHANGE, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST_F(BundleSwapTest, OldBundlesComeBackWhereWhatWasUnpackedCannotAllBeRemoved) {
    // unzip fails after a file system was mounted inside what it unpacked
    // (in a mount namespace of the child's own), which the removal never
    // enters: the bundle name stays taken. The old bundle gets its name back
    // all the same, exchanged with what was unpacked or, where names cannot
    // be exchanged, after that was moved aside; without an old bundle, what
    // was unpacked leaves the name free. Whatever could not be removed is
    // left under a backup name, never under a bundle's.
    struct Case {
        const char* name;
        bool oldEs;
        bool exchanges;
        const char* expected;  // versions, then the entries of the install directory
    };
    const Case cases[] = {
        {"exchanged", true, true,
         "quoranees.app=es1 quoraneet.app=et1|quoranees.app quoranees.app.42 quoraneet.app"},
        {"moved aside first", true, false,
         "quoranees.app=es1 quoraneet.app=et1|"
         "quoranees.app quoranees.app.42.unpacked quoraneet.app"},
        {"no old bundle", false, true,
         "quoranees.app=- quoraneet.app=et1|quoranees.app.42 quoraneet.app"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        if (c.oldEs) MakeBundle(install, "quoranees.app", "es1");
        MakeBundle(install, "quoraneet.app", "et1");
        const auto oldEs = Snapshot(fs::path(install) / "quoranees.app");
        BothNew();
        const std::optional<std::string> seen = test::RunInChild([&] {
            if (::unshare(CLONE_NEWNS) != 0 ||
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
                return std::string("skip");
            if (!c.exchanges && !DenyExchanges()) return std::string("skip");
            const fs::path mountPoint = fs::path(install) / "quoranees.app/Contents/mnt";
            const SwapWorld world = World([&] {
                fs::create_directories(mountPoint);
                if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0)
                    throw std::runtime_error("no tmpfs");
                return ProgramResult{ProgramResult::Ending::Exited, 9};
            });
            const SwapOutcome outcome = SwapBundles(install, "first.zip", "none.zip", world);
            std::string text = outcome == SwapOutcome::Restored ? "" : "not restored: ";
            text += BundleVersions(install) + "|";
            text += EntryNames(install);
            if (c.oldEs && Snapshot(fs::path(install) / "quoranees.app") != oldEs)
                text += "|old quoranees.app changed";
            return text;
        });
        ASSERT_TRUE(seen.has_value());
        if (*seen == "skip") GTEST_SKIP() << "no private mount namespace or seccomp filter here";
        EXPECT_EQ(*seen, c.expected);
    }
}

TEST_F(BundleSwapTest, UnzipWarningCountsAsSuccessButASignalDoesNot) {
    using Ending = ProgramResult::Ending;
    const std::pair<ProgramResult, SwapOutcome> cases[] = {
        {{Ending::Exited, 1}, SwapOutcome::Replaced},
        {{Ending::Exited, 2}, SwapOutcome::Restored},
        {{Ending::Signalled, SIGKILL}, SwapOutcome::Restored},
        {{Ending::NotStarted, 0}, SwapOutcome::Restored},
    };
    for (const auto& [ending, outcome] : cases) {
        SCOPED_TRACE("ending " + std::to_string(static_cast<int>(ending.ending)) + ", code " +
                     std::to_string(ending.code));
        Fresh(true);
        BothNew();
        MakeArchive(fs::path(install) / "second.zip", {{"quoraneet.app", "et3"}});
        endings = {ending, {Ending::Exited, 0}};  // the second archive's run
        EXPECT_EQ(Swap(), outcome);
        EXPECT_EQ(BundleVersions(install),
                  outcome == SwapOutcome::Replaced ? test::kNewVersions : test::kOldVersions);
    }
}

TEST_F(BundleSwapTest, RefusedArchiveNamesTouchNothing) {
    OldBundles();
    MakeArchive(fs::path(install) / "good.zip", {{"quoranees.app", "es2"}});
    fs::create_directories(fs::path(install) / "folder.zip");
    fs::create_directories(root / "outside");
    MakeArchive(root / "outside" / "a.zip", {{"quoranees.app", "es9"}});
    fs::create_symlink(root / "outside", fs::path(install) / "out-link");
    fs::create_symlink("quoraneet.app", fs::path(install) / "bundle-link");
    fs::create_symlink("folder.zip", fs::path(install) / "dir-link.zip");
    const auto before = Snapshot(root.path());

    for (const std::string name :
         {".", "..", "./", "/", "//.", "a/../..", "x/../../install dir/good.zip",
          "../outside/a.zip", "quoranees.app", "quoraneet.app/",
          "quoranees.app/Contents/version.txt", "./quoraneet.app/../good.zip", "folder.zip",
          "dir-link.zip", "out-link/a.zip", "bundle-link/Contents/version.txt"}) {
        for (bool asFirst : {true, false}) {
            SCOPED_TRACE(name + (asFirst ? " as first" : " as second"));
            const SwapOutcome outcome = asFirst ? Swap(name, "good.zip") : Swap("good.zip", name);
            EXPECT_EQ(outcome, SwapOutcome::Skipped);
            EXPECT_TRUE(runs.empty());
            EXPECT_EQ(Snapshot(root.path()), before);
        }
    }
}

TEST_F(BundleSwapTest, ArchiveNamesStayInsideTheInstallDirectory) {
    OldBundles();
    fs::create_directories(fs::path(install) / "sub");
    BothNew("sub/first.zip");
    // A leading "/" still means inside the install directory.
    EXPECT_EQ(Swap("/sub/./first.zip", "sub/../missing.zip"), SwapOutcome::Replaced);
    EXPECT_EQ(BundleVersions(install), test::kNewVersions);
    EXPECT_TRUE(fs::exists(fs::path(install) / "sub"));
    EXPECT_FALSE(fs::exists(fs::path(install) / "sub" / "first.zip"));
}

TEST_F(BundleSwapTest, ShellMetacharactersInEveryArgumentArePassedIntact) {
    install = (root / "in stall 'q\" $(touch pwned-dir); `touch pwned-tick`").string();
    fs::create_directories(install);
    OldBundles();
    const std::string first = "-o first; touch pwned-first $HOME.zip";
    const std::string second = "sec*ond | touch pwned-second &.zip";
    MakeArchive(fs::path(install) / first, {{"quoranees.app", "es2"}});
    MakeArchive(fs::path(install) / second, {{"quoraneet.app", "et2"}});

    test::TempDir cwd;
    const fs::path previous = fs::current_path();
    fs::current_path(cwd.path());
    const SwapOutcome outcome = Swap(first, second);
    fs::current_path(previous);

    EXPECT_EQ(outcome, SwapOutcome::Replaced);
    EXPECT_EQ(BundleVersions(install), test::kNewVersions);
    EXPECT_TRUE(Snapshot(cwd.path()).empty());
    // The shell would have made files named pwned-* beside the archives.
    for (const auto& entry : Snapshot(root.path()))
        EXPECT_NE(fs::path(entry.first).filename().string().rfind("pwned", 0), 0u) << entry.first;
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[1], (std::vector<std::string>{"cwd:" + install, "unzip", "-o",
                                                 "fd:" + install + "/" + first, "-d", "."}));
}

TEST_F(BundleSwapTest, LeadingDashInTheInstallDirectoryIsNoOption) {
    test::TempDir cwd;
    const fs::path previous = fs::current_path();
    fs::current_path(cwd.path());
    install = "-install";
    fs::create_directories(install);
    OldBundles();
    BothNew();
    const std::string archive = fs::canonical(fs::path(install) / "first.zip").string();
    const std::string installPath = fs::canonical(install).string();
    const SwapOutcome outcome = Swap("first.zip", "none.zip");
    const std::string versions = BundleVersions(install);
    fs::current_path(previous);

    EXPECT_EQ(outcome, SwapOutcome::Replaced);
    EXPECT_EQ(versions, test::kNewVersions);
    // The missing archive is not handed to unzip at all.
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0], (std::vector<std::string>{"cwd:" + installPath, "unzip", "-o",
                                                 "fd:" + archive, "-d", "."}));
}

TEST_F(BundleSwapTest, EntriesUnderTakenBackupNamesAreNeverTouched) {
    OldBundles();
    // Every number but 777 is taken by an earlier run's leftovers, in one
    // form or another.
    for (int n = 0; n < 1000; ++n) {
        if (n == 777) continue;
        const fs::path es = fs::path(install) / ("quoranees.app." + std::to_string(n));
        const fs::path et = fs::path(install) / ("quoraneet.app." + std::to_string(n));
        if (n % 3 == 0) MakeBundle(install, es.filename().string(), "stale" + std::to_string(n));
        if (n % 3 == 1) test::WriteFile(et, "stale");
        if (n % 3 == 2) fs::create_symlink("missing-target", es);
    }
    MakeArchive(fs::path(install) / "first.zip", {{"quoranees.app", "es2"}});
    auto before = Snapshot(install);
    before.erase("first.zip");
    draws = {5, 6, 7, 8};

    // The update is incomplete, so the failure branch restores: only from
    // this run's own backups (number 777).
    EXPECT_EQ(Swap(), SwapOutcome::Restored);
    EXPECT_EQ(Snapshot(install), before);

    BothNew();
    EXPECT_EQ(Swap(), SwapOutcome::Replaced);
    auto after = Snapshot(install);
    for (auto it = before.begin(); it != before.end(); ++it) {
        if (it->first.rfind("quoranees.app/", 0) == 0 || it->first.rfind("quoraneet.app/", 0) == 0)
            continue;
        if (it->first == "quoranees.app" || it->first == "quoraneet.app") continue;
        EXPECT_EQ(after[it->first], it->second) << it->first;
    }
    EXPECT_FALSE(fs::exists(fs::path(install) / "quoranees.app.777"));
    EXPECT_EQ(BundleVersions(install), test::kNewVersions);
}

TEST_F(BundleSwapTest, ADrawWhoseNameIsTakenIsDrawnAgain) {
    // A number is taken by an entry already under one of its backup names,
    // or by an archive entry on a path through one, spelled in any case.
    // Nothing unpackable arrives: the failure branch puts the .9 backups
    // back, and every taken entry, planted or unpacked, is as it was.
    struct Case {
        std::string name;
        BundleFiles planted;   // entries of the install directory before the run
        BundleFiles archived;  // entries of the one archive
        std::deque<int> draws;
    };
    const std::vector<Case> cases = {
        {"already there",
         {{"quoranees.app.5/Contents/version.txt", "stale"}, {"quoraneet.app.6", "stale"}},
         {},
         {5, 6, 9}},
        {"archive file, lower case", {}, {{"quoranees.app.5", "entry"}}, {5, 9}},
        {"archive file, upper case", {}, {{"QUORANEES.APP.5", "entry"}}, {5, 9}},
        {"archive directory, lower case", {}, {{"quoraneet.app.7/file", "entry"}}, {7, 9}},
        {"archive directory, mixed case", {}, {{"QuoraneET.app.7/file", "entry"}}, {7, 9}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh(true);
        for (const auto& [path, content] : c.planted) {
            fs::create_directories((fs::path(install) / path).parent_path());
            test::WriteFile(fs::path(install) / path, content);
        }
        if (!c.archived.empty()) {
            test::TempDir staging;
            std::vector<std::string> zip = {
                "sh", "-c",          "cd \"$1\" && exec zip -qr \"$2\" .",
                "sh", staging.str(), install + "/first.zip"};
            for (const auto& [path, content] : c.archived) {
                fs::create_directories((staging / path).parent_path());
                test::WriteFile(staging / path, content);
            }
            ASSERT_TRUE(RunProgram(zip).Clean());
        }
        draws = c.draws;

        EXPECT_EQ(Swap(), SwapOutcome::Restored);
        EXPECT_TRUE(draws.empty()) << draws.size() << " draws left";
        EXPECT_EQ(BundleVersions(install), test::kOldVersions);
        for (const BundleFiles* entries : {&c.planted, &c.archived}) {
            for (const auto& [path, content] : *entries)
                EXPECT_EQ(test::ReadFile(fs::path(install) / path), content) << path;
        }
    }
}

TEST_F(BundleSwapTest, NoFreeBackupNameSkipsTheSwap) {
    OldBundles();
    BothNew();
    for (int n = 0; n < 1000; ++n)
        test::WriteFile(fs::path(install) / ("quoraneet.app." + std::to_string(n)), "");
    const auto before = Snapshot(install);
    EXPECT_EQ(Swap(), SwapOutcome::Skipped);
    EXPECT_EQ(Snapshot(install), before);
}

// Failing renames and removals need permissions that bind, so these run as an
// unprivileged user in a child process, in a sticky install directory: the
// child may move and delete only what it owns.
class UnprivilegedSwapTest : public BundleSwapTest {
protected:
    void SetUp() override {
        if (!test::CanDropPrivileges()) GTEST_SKIP() << "cannot run as an unprivileged user";
        if (geteuid() != 0) GTEST_SKIP() << "needs root to hand files to another user";
        BundleSwapTest::SetUp();
        fs::permissions(root.path(), fs::perms(0755));
        ASSERT_EQ(::chmod(install.c_str(), 01777), 0);
    }

    std::optional<SwapOutcome> SwapUnprivileged(const std::string& first,
                                                const std::string& second) {
        auto code = test::RunUnprivileged([&] {
            return static_cast<int>(SwapBundles(
                install, first, second, SwapWorld{RealSwapWorld().runProgram, [] { return 42; }}));
        });
        if (!code) return std::nullopt;
        return static_cast<SwapOutcome>(*code);
    }
};

TEST_F(UnprivilegedSwapTest, FailedRenameAsideMovesBackWhatWasMoved) {
    // quoranees.app is the child's and moves aside, quoraneet.app does not
    // and is moved back; or quoranees.app already cannot move. Either way
    // nothing is unpacked and both archives are kept.
    for (const bool firstMoves : {true, false}) {
        SCOPED_TRACE(firstMoves ? "second rename fails" : "first rename fails");
        Fresh();
        ASSERT_EQ(::chmod(install.c_str(), 01777), 0);
        OldBundles();
        if (firstMoves) GiveAway(fs::path(install) / "quoranees.app");
        BothNew();
        MakeArchive(fs::path(install) / "second.zip", {{"quoraneet.app", "et3"}});
        const auto before = Snapshot(install);

        EXPECT_EQ(SwapUnprivileged("first.zip", "second.zip"), SwapOutcome::RolledBack);
        EXPECT_EQ(Snapshot(install), before);
    }
}

TEST_F(UnprivilegedSwapTest, FailedArchiveRemovalDoesNotKeepTheBundlesFromComingBack) {
    OldBundles();
    GiveAway(fs::path(install) / "quoranees.app");
    GiveAway(fs::path(install) / "quoraneet.app");
    fs::create_directories(fs::path(install) / "locked");  // root's, not writable by the child
    MakeArchive(fs::path(install) / "locked" / "first.zip", {{"quoranees.app", "es2"}});

    EXPECT_EQ(SwapUnprivileged("locked/first.zip", "missing.zip"), SwapOutcome::Restored);
    EXPECT_EQ(BundleVersions(install), test::kOldVersions);
    EXPECT_TRUE(fs::exists(fs::path(install) / "locked" / "first.zip"));
    EXPECT_EQ(test::EntryCount(install), 3);
}

}  // namespace
}  // namespace quorane::updater
