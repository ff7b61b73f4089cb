// The built updater in a hostile world: archives that are not regular files,
// names that look like patterns, closed or piped standard descriptors, a
// working directory that is gone, runs that overlap, a directory swapped for
// a link while a backup is removed, and a power cut after the old bundles are
// gone. Whatever happens, the run ends, each bundle is whole, and nothing
// outside the install directory's own files is touched.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "UpdaterTestSupport.h"

namespace quorane::test {
namespace {

// A run that hangs is killed after this long and fails its test.
constexpr int kWatchdogSeconds = 60;

class HostileWorldTest : public UpdaterSandbox {
protected:
    void OldBundles(const fs::path& where) {
        MakeBundle(where, "quoranees.app", "es1");
        MakeBundle(where, "quoraneet.app", "et1");
    }

    // The tree of a bundle made with these contents.
    static std::map<std::string, std::string> FormOf(const std::string& bundle,
                                                     const std::string& version) {
        TempDir staging;
        MakeBundle(staging.path(), bundle, version);
        return Snapshot(staging / bundle);
    }
};

TEST_F(HostileWorldTest, ArchiveThatIsNoRegularFileSkipsTheSwapAndTouchesNothing) {
    const std::vector<std::string> kinds = {"fifo", "socket", "link to a fifo", "device"};
    for (const std::string& kind : kinds) {
        SCOPED_TRACE(kind);
        fs::remove_all(install);
        fs::create_directories(install);
        fs::remove(dir / "log");
        OldBundles(install);
        MakeArchive(install / "et.zip", {{"quoraneet.app", "et2"}});
        const fs::path special = install / "es.zip";
        if (kind == "fifo") {
            ASSERT_EQ(mkfifo(special.c_str(), 0600), 0);
        } else if (kind == "link to a fifo") {
            ASSERT_EQ(mkfifo((install / "pipe").c_str(), 0600), 0);
            fs::create_symlink("pipe", special);
        } else if (kind == "device") {
            fs::create_symlink("/dev/zero", special);
        } else {
            const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, special.c_str(), sizeof(address.sun_path) - 1);
            ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
            close(sock);
        }
        const auto before = Snapshot(install);

        for (const bool asFirst : {true, false}) {
            SCOPED_TRACE(asFirst ? "as the first archive" : "as the second archive");
            EXPECT_EQ(RunGuarded({install.string(), asFirst ? "es.zip" : "et.zip",
                                  asFirst ? "et.zip" : "es.zip"}),
                      0);
            EXPECT_EQ(Snapshot(install), before);
        }
    }
}

TEST_F(HostileWorldTest, ArchiveTurnedIntoAFifoBetweenItsCheckAndItsOpenSkipsTheSwap) {
    // The archive is a regular file when its kind is asked and a FIFO by the
    // time it is opened: unzip must never be handed it, for it would wait for
    // a writer with the agent unloaded.
    OldBundles(install);
    MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}});
    MakeArchive(install / "et.zip", {{"quoraneet.app", "et2"}});
    auto expected = Snapshot(install);
    expected["es.zip"] = "special";
    Launch launch;
    launch.environment = {"LD_PRELOAD=" QUORANE_RACE_SHIM, "QUORANE_RACE_FIFO=es.zip",
                          "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};

    EXPECT_EQ(RunGuarded({install.string(), "es.zip", "et.zip"}, launch), 0);
    EXPECT_EQ(Snapshot(install), expected);
    ASSERT_FALSE(Log().empty());
    EXPECT_EQ(Log().back(), kLoad);
}

TEST_F(HostileWorldTest, LinksFromOneArchiveNeverCarryTheOtherOutOfItsBundle) {
    // The second archive, unpacked first, makes quoranees.app, or a directory
    // in it, a link to a directory outside, or makes quoranees.app a plain
    // file; the first archive's entries below it must never be written through
    // it. A link that stays inside its bundle is fine.
    const fs::path outside = dir / "outside";
    fs::create_directories(outside / "kept");
    WriteFile(outside / "kept" / "file", "precious");
    struct Case {
        std::string name;
        std::function<void(const fs::path& staging)> plant;
        bool replaced;
    };
    const std::vector<Case> cases = {
        {"bundle name is a link out",
         [&](const fs::path& staging) { fs::create_symlink(outside, staging / "quoranees.app"); },
         false},
        {"bundle name is a file",
         [](const fs::path& staging) { WriteFile(staging / "quoranees.app", "not a bundle"); },
         false},
        {"directory in the bundle is a link out",
         [&](const fs::path& staging) {
             fs::create_directories(staging / "quoranees.app");
             fs::create_symlink(outside, staging / "quoranees.app" / "Contents");
         },
         false},
        {"directory in the bundle is a link within it",
         [](const fs::path& staging) {
             fs::create_directories(staging / "quoranees.app" / "Versions" / "A");
             fs::create_symlink("Versions/A", staging / "quoranees.app" / "Contents");
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(install);
        fs::create_directories(install);
        OldBundles(install);
        const auto before = Snapshot(install);
        MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});
        TempDir staging;
        c.plant(staging.path());
        MakeBundle(staging.path(), "quoraneet.app", "et3");
        const updater::ProgramResult zipped = updater::RunProgram(
            {"sh", "-c", "cd \"$1\" && zip -qry \"$2\" quoranees.app quoraneet.app", "sh",
             staging.str(), (install / "et.zip").string()});
        ASSERT_TRUE(zipped.Clean());
        const auto outsideBefore = Snapshot(outside);

        EXPECT_EQ(RunGuarded({install.string(), "es.zip", "et.zip"}), 0);
        EXPECT_EQ(Snapshot(outside), outsideBefore);
        if (c.replaced) {
            EXPECT_EQ(BundleVersions(install), "quoranees.app=es2 quoraneet.app=et2");
            EXPECT_EQ(ReadFile(install / "quoranees.app" / "Versions" / "A" / "version.txt"),
                      "es2");
        } else {
            EXPECT_EQ(Snapshot(install), before);
        }
    }
}

TEST_F(HostileWorldTest, WhateverSitsUnderABundleNameIsMovedAsideAndBroughtBack) {
    // A dangling link and a plain file under the bundle names, and archives
    // that do not bring both bundles: both entries come back as they were.
    fs::create_symlink("missing-target", install / "quoranees.app");
    WriteFile(install / "quoraneet.app", "a plain file");
    MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}});
    const auto before = Snapshot(install);
    EXPECT_EQ(RunGuarded({install.string(), "es.zip", "none.zip"}), 0);
    auto expected = before;
    expected.erase("es.zip");
    EXPECT_EQ(Snapshot(install), expected);

    // Archives that bring both replace them with real bundles.
    MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});
    EXPECT_EQ(RunGuarded({install.string(), "es.zip", "none.zip"}), 0);
    EXPECT_EQ(Snapshot(install / "quoranees.app"), FormOf("quoranees.app", "es2"));
    EXPECT_EQ(Snapshot(install / "quoraneet.app"), FormOf("quoraneet.app", "et2"));
    EXPECT_EQ(std::distance(fs::directory_iterator(install), fs::directory_iterator()), 2);
}

TEST_F(HostileWorldTest, ArchiveNamesWithPatternCharactersNameOneArchiveOnly) {
    // Each named archive holds the new bundles; its neighbour, whose name the
    // pattern would also match, holds others and must stay as it is.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"es[1].zip", "es1.zip"}, {"es?.zip", "esX.zip"}, {"e*.zip", "else.zip"}};
    for (const auto& [named, neighbour] : cases) {
        SCOPED_TRACE(named);
        fs::remove_all(install);
        fs::create_directories(install);
        OldBundles(install);
        MakeArchive(install / named, {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});
        MakeArchive(install / neighbour, {{"quoranees.app", "wrong"}, {"quoraneet.app", "wrong"}});
        const std::string neighbourBytes = ReadFile(install / neighbour);

        EXPECT_EQ(RunGuarded({install.string(), named, named}), 0);
        EXPECT_EQ(BundleVersions(install), "quoranees.app=es2 quoraneet.app=et2");
        EXPECT_FALSE(fs::exists(install / named));
        EXPECT_EQ(ReadFile(install / neighbour), neighbourBytes);
    }
    // A missing archive whose name matches another is not unpacked either.
    fs::remove_all(install);
    fs::create_directories(install);
    OldBundles(install);
    MakeArchive(install / "esX.zip", {{"quoranees.app", "wrong"}, {"quoraneet.app", "wrong"}});
    const auto before = Snapshot(install);
    EXPECT_EQ(RunGuarded({install.string(), "es?.zip", "et?.zip"}), 0);
    EXPECT_EQ(Snapshot(install), before);
}

TEST_F(HostileWorldTest, DeletedWorkingDirectoryOnlyMattersForARelativeInstallDirectory) {
    OldBundles(install);
    MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}});
    MakeArchive(install / "et.zip", {{"quoraneet.app", "et2"}});
    const auto before = Snapshot(install);
    Launch launch;
    launch.deletedWorkingDirectory = true;

    // Relative: the directory cannot be found, and nothing is touched.
    EXPECT_EQ(RunGuarded({"install", "es.zip", "et.zip"}, launch), 0);
    EXPECT_EQ(Snapshot(install), before);

    EXPECT_EQ(RunGuarded({install.string(), "es.zip", "et.zip"}, launch), 0);
    EXPECT_EQ(BundleVersions(install), "quoranees.app=es2 quoraneet.app=et2");
    EXPECT_EQ(std::distance(fs::directory_iterator(install), fs::directory_iterator()), 2);
}

TEST_F(HostileWorldTest, ClosedStandardDescriptorsNeverReachTheNewFiles) {
    const std::vector<std::vector<int>> closings = {{0, 1}, {0, 1, 2}, {1}, {2}};
    for (const std::vector<int>& closed : closings) {
        SCOPED_TRACE(testing::PrintToString(closed));
        fs::remove_all(install);
        fs::create_directories(install);
        OldBundles(install);
        MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}});
        MakeArchive(install / "et.zip", {{"quoraneet.app", "et2"}});
        Launch launch;
        launch.closedDescriptors = closed;

        EXPECT_EQ(RunGuarded({install.string(), "es.zip", "et.zip"}, launch), 0);
        EXPECT_EQ(Snapshot(install / "quoranees.app"), FormOf("quoranees.app", "es2"));
        EXPECT_EQ(Snapshot(install / "quoraneet.app"), FormOf("quoraneet.app", "et2"));
        EXPECT_EQ(std::distance(fs::directory_iterator(install), fs::directory_iterator()), 2);
    }
}

TEST_F(HostileWorldTest, FullDiskWithAPipeAsStandardInputDoesNotWaitForAnswers) {
    // As the full-disk fault test does, but unzip's question whether to go on
    // could be answered on standard input: a pipe the test holds open.
    const fs::path seed = dir / "seed", after = dir / "after";
    fs::create_directories(seed);
    OldBundles(seed);
    MakeArchive(seed / "es.zip", {{"quoranees.app", "es2"}},
                {{"Contents/Resources/large", std::string(8 << 20, '\0')}});
    MakeArchive(seed / "et.zip", {{"quoraneet.app", "et2"}});
    const auto old =
        std::make_pair(Snapshot(seed / "quoranees.app"), Snapshot(seed / "quoraneet.app"));
    int input[2];
    ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
    Launch launch;
    launch.standardInput = input[0];
    launch.wrapper = SmallTmpfsWrapper(install, seed, after);

    const int status = RunGuarded({install.string(), "es.zip", "et.zip"}, launch);
    close(input[0]);
    close(input[1]);
    if (status == kNoSmallTmpfs || status == 127) GTEST_SKIP() << "cannot mount a small tmpfs here";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Snapshot(after / "quoranees.app"), old.first);
    EXPECT_EQ(Snapshot(after / "quoraneet.app"), old.second);
}

// ---------------------------------------------------------------------------
// Runs that overlap

// "quoranees.app.17" is a backup name.
bool IsBackupName(const std::string& name) {
    for (const char* bundle : {"quoranees.app.", "quoraneet.app."}) {
        const std::string prefix = bundle;
        if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
            name.find_first_not_of("0123456789", prefix.size()) == std::string::npos)
            return true;
    }
    return false;
}

TEST_F(HostileWorldTest, OverlappingRunsTakeTurnsAndNeverLoseABundle) {
    const auto oldEs = FormOf("quoranees.app", "es1"), newEs = FormOf("quoranees.app", "es2");
    const auto oldEt = FormOf("quoraneet.app", "et1"), newEt = FormOf("quoraneet.app", "et2");
    constexpr int kRounds = 60, kAtOnce = 12;
    for (int first = 0; first < kRounds; first += kAtOnce) {
        // kAtOnce install directories at a time, each with two or three runs
        // started a varying number of milliseconds apart.
        struct Round {
            fs::path where;
            std::vector<pid_t> runs;
        };
        std::vector<Round> rounds;
        for (int round = first; round < first + kAtOnce; ++round) {
            const fs::path where = dir / ("round" + std::to_string(round));
            fs::create_directories(where);
            OldBundles(where);
            MakeArchive(where / "es.zip", {{"quoranees.app", "es2"}});
            MakeArchive(where / "et.zip", {{"quoraneet.app", "et2"}});
            rounds.push_back({where, {}});
        }
        const int runsPerRound = first / kAtOnce % 2 == 0 ? 2 : 3;
        for (int run = 0; run < runsPerRound; ++run) {
            for (int round = 0; round < kAtOnce; ++round) {
                Launch launch;
                launch.ownProcessGroup = true;
                rounds[round].runs.push_back(
                    Start({rounds[round].where.string(), "es.zip", "et.zip"}, launch));
            }
            usleep(static_cast<useconds_t>((first * 37 + run * 211) % 900) * 1000);
        }
        for (const Round& round : rounds) {
            SCOPED_TRACE(round.where.filename().string());
            for (const pid_t pid : round.runs) {
                const std::optional<int> status = FinishWithin(pid, kWatchdogSeconds);
                ASSERT_TRUE(status) << "a run hung";
                EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
            }
            const auto es = Snapshot(round.where / "quoranees.app");
            const auto et = Snapshot(round.where / "quoraneet.app");
            EXPECT_TRUE((es == newEs && et == newEt) || (es == oldEs && et == oldEt))
                << BundleVersions(round.where);
            for (fs::directory_iterator it(round.where), end; it != end; ++it)
                EXPECT_FALSE(IsBackupName(it->path().filename().string())) << it->path();
        }
    }
}

// ---------------------------------------------------------------------------
// Someone who may write the install directory, at the worst moment

TEST_F(HostileWorldTest, DirectorySwappedForALinkDuringABackupsRemovalLeadsNowhere) {
    // The old bundle is large enough that its removal goes on well after the
    // swap; the sentinel outside mirrors its layout, so that a removal that
    // followed the link would find every name it looks for.
    BundleFiles many;
    for (int i = 0; i < 200; ++i) many["Contents/Resources/r" + std::to_string(i)] = "x";
    MakeBundle(install, "quoranees.app", "es1", many);
    MakeBundle(install, "quoraneet.app", "et1");
    MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}});
    MakeArchive(install / "et.zip", {{"quoraneet.app", "et2"}});
    const fs::path sentinel = dir / "sentinel";
    MakeBundle(sentinel, "Bundle", "precious", many);
    const auto whole = Snapshot(sentinel);

    Launch launch;
    launch.environment = {"LD_PRELOAD=" QUORANE_RACE_SHIM,
                          "QUORANE_RACE_INSTALL=" + install.string(),
                          "QUORANE_RACE_TARGET=" + (sentinel / "Bundle" / "Contents").string(),
                          // A sanitized updater accepts a library preloaded before its runtime.
                          "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
    EXPECT_EQ(RunGuarded({install.string(), "es.zip", "et.zip"}, launch), 0);

    EXPECT_EQ(Snapshot(sentinel), whole);
    EXPECT_EQ(BundleVersions(install), "quoranees.app=es2 quoraneet.app=et2");
    // The race did happen: the backup kept the link it was given.
    bool raced = false;
    for (fs::directory_iterator it(install), end; it != end; ++it)
        raced = raced || fs::is_symlink(it->path() / "Contents");
    EXPECT_TRUE(raced) << "the stand-in never swapped the directory";
}

// ---------------------------------------------------------------------------
// Power cuts

class DurabilityTest : public HostileWorldTest {
protected:
    void SetUp() override {
        HostileWorldTest::SetUp();
        if (!StraceWorks())
            GTEST_SKIP() << "strace cannot trace the updater here (no strace, or no ptrace)";
    }

    // The updater's flushes, removals and renames, in order, by call name.
    std::vector<std::string> TracedSteps(bool damaged, const std::string& inject = "") {
        fs::remove_all(install);
        fs::create_directories(install);
        OldBundles(install);
        MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}});
        MakeArchive(install / "et.zip", {{"quoraneet.app", "et2"}});
        if (damaged) DamageLastEntry(install / "et.zip");
        const fs::path trace = dir / "trace";
        Launch launch;
        launch.wrapper = {"strace", "-qq", "-E", "ASAN_OPTIONS=detect_leaks=0", "-o",
                          trace.string(), "-e",
                          // One argument, split to fit the line.
                          // NOLINTNEXTLINE(bugprone-suspicious-missing-comma)
                          "trace=sync,syncfs,fsync,fdatasync,unlink,unlinkat,rmdir,rename,renameat,"
                          "renameat2"};
        if (!inject.empty()) launch.wrapper.insert(launch.wrapper.end(), {"-e", inject});
        EXPECT_EQ(RunGuarded({install.string(), "es.zip", "et.zip"}, launch), 0);
        std::vector<std::string> steps;
        std::istringstream lines(ReadFile(trace));
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("+++", 0) != 0 && line.rfind("---", 0) != 0)
                steps.push_back(line.substr(0, line.find('(')));
        }
        return steps;
    }

    static bool IsFlush(const std::string& call) {
        return call == "sync" || call == "syncfs" || call == "fsync" || call == "fdatasync";
    }
};

TEST_F(DurabilityTest, NewBundlesAreOnDiskBeforeTheFirstOldFileGoes) {
    const std::vector<std::string> steps = TracedSteps(false);
    const auto removal = std::find_if(steps.begin(), steps.end(), [](const std::string& call) {
        return call == "unlink" || call == "unlinkat" || call == "rmdir";
    });
    ASSERT_NE(removal, steps.end()) << testing::PrintToString(steps);
    EXPECT_TRUE(std::any_of(steps.begin(), removal, IsFlush)) << testing::PrintToString(steps);
    EXPECT_EQ(BundleVersions(install), "quoranees.app=es2 quoraneet.app=et2");
}

TEST_F(DurabilityTest, RestoredNamesAreFlushedAfterTheRollbacksRenames) {
    const std::vector<std::string> steps = TracedSteps(true);
    const auto lastRename = std::find_if(steps.rbegin(), steps.rend(), [](const std::string& call) {
        return call.rfind("rename", 0) == 0;
    });
    ASSERT_NE(lastRename, steps.rend()) << testing::PrintToString(steps);
    EXPECT_TRUE(std::any_of(steps.rbegin(), lastRename, IsFlush)) << testing::PrintToString(steps);
    EXPECT_EQ(BundleVersions(install), "quoranees.app=es1 quoraneet.app=et1");
}

TEST_F(DurabilityTest, AFlushThatFailsKeepsTheOldBundles) {
    TracedSteps(false, "inject=syncfs,fsync:error=EIO");
    EXPECT_EQ(BundleVersions(install), "quoranees.app=es1 quoraneet.app=et1");
    EXPECT_EQ(std::distance(fs::directory_iterator(install), fs::directory_iterator()), 2);
}

}  // namespace
}  // namespace quorane::test
