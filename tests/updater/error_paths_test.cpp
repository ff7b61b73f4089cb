// The updater's error paths, each provoked for real: archives that cannot be
// found, opened or read the way their check promised, link targets longer
// than the first guess, an archive whose directory lies too deep to climb
// from, an unprivileged run that must open up its own directories to remove
// them, a user database entry too long for the first buffer, too little
// memory to plan the swap, to remove a backup or to remove what a failed
// update unpacked, and the programs' streams and endings in a process set up
// badly. Whatever happens, the run ends, nothing the tests look at is lost,
// and the agent is loaded again.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DeepTreeSupport.h"
#include "UpdaterTestSupport.h"

namespace quorane::test {
namespace {

// The exit status of a wrapper that could not set up what it was asked for.
constexpr int kWrapperFailed = 90;

class ErrorPathsTest : public UpdaterSandbox {
protected:
    // The run ended by itself, with status 0, and loaded the agent last.
    void ExpectFinishedAndLoaded(int status) {
        EXPECT_EQ(status, 0);
        const std::vector<std::string> lines = Log();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), kUnload);
        EXPECT_EQ(lines.back(), kLoad);
    }
};

// ---------------------------------------------------------------------------
// Archives that are not what their check said

TEST_F(ErrorPathsTest, ArchiveThatIsNotWhatItsCheckSaid) {
    // Each row makes its archives beside the old bundles, then runs the
    // update with them, the race shim doing `race` if it is set. A row with
    // `entries` ends with both new bundles and that many entries (a plain
    // file made beside them kept); any other must not start the swap, and
    // the install stays as the row made it.
    struct Case {
        std::string name;
        std::function<void()> make;
        std::string first, second;  // the archives, in the order given
        std::string race;
        std::ptrdiff_t entries;  // 0: the swap must not start
    };
    const auto both = [&] {
        MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});
    };
    const auto oneEach = [&] {
        MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}});
        MakeArchive(install / "et.zip", {{"quoraneet.app", "et2"}});
    };
    const auto loop = [&] {
        both();
        fs::create_symlink("loop", install / "loop");
    };
    const auto plainFile = [&] {
        both();
        WriteFile(install / "file", "a plain file");
    };
    const std::vector<Case> cases = {
        // "loop" is a link to itself: its kind cannot be told (ELOOP), which
        // is no missing directory, whichever archive it is.
        {"in a directory that cannot be opened, as the first archive", loop, "loop/et.zip",
         "es.zip", "", 0},
        {"in a directory that cannot be opened, as the second archive", loop, "es.zip",
         "loop/et.zip", "", 0},
        // A directory that does not exist (ENOENT) or a plain file in its
        // place (ENOTDIR): that archive is missing, which is no reason to
        // refuse, and the other one brings both bundles.
        {"in a directory that is not there", plainFile, "es.zip", "nowhere/et.zip", "", 3},
        {"in a directory that is a plain file", plainFile, "es.zip", "file/et.zip", "", 3},
        // et.zip is a regular file when its kind is asked and gone when it is
        // opened: it is then a missing archive, so es.zip, which brings both
        // bundles, is installed alone; et.zip's own bundles never arrive.
        {"gone between its check and its open",
         [&] {
             both();
             MakeArchive(install / "et.zip",
                         {{"quoranees.app", "wrong"}, {"quoraneet.app", "wrong"}});
         },
         "es.zip", "et.zip", "QUORANE_RACE_GONE=et.zip", 2},
        // es.zip is a regular file when its kind is asked and a link to itself
        // when it is opened: the open fails with neither "missing" nor "not
        // allowed", so nothing is touched but that link.
        {"turned into a link loop between its check and its open", oneEach, "es.zip", "et.zip",
         "QUORANE_RACE_LOOP=es.zip", 0},
        // es.zip is a link to /proc/self/mem: a regular file to every check,
        // open for reading, whose first read fails (EIO, nothing is mapped at
        // address 0). Its names cannot be scanned, so no backup name can be
        // trusted, and the link stays as it was.
        {"that cannot be read to its end",
         [&] {
             fs::create_symlink("/proc/self/mem", install / "es.zip");
             MakeArchive(install / "et.zip", {{"quoraneet.app", "et2"}});
         },
         "es.zip", "et.zip", "", 0},
        // The updater sets no signal handler, so no read of its can really
        // fail with EINTR; the shim makes the first one do so. The archive is
        // read again from where it was, and the swap goes through as usual.
        {"whose read is interrupted once", oneEach, "es.zip", "et.zip",
         "QUORANE_RACE_PREAD_EINTR=1", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FreshInstall();
        c.make();
        auto expected = Snapshot(install);
        Launch launch;
        if (!c.race.empty()) launch.environment = RaceShimEnvironment({c.race});
        // The archive the shim turns into a loop stays that link.
        if (c.race == "QUORANE_RACE_LOOP=es.zip") expected["es.zip"] = "-> es.zip";

        ExpectFinishedAndLoaded(RunGuarded({install.string(), c.first, c.second}, launch));
        if (c.entries == 0) {
            EXPECT_EQ(Snapshot(install), expected);
            continue;
        }
        EXPECT_EQ(BundleVersions(install), kNewVersions);
        EXPECT_EQ(EntryCount(install), c.entries);
        if (expected.count("file") != 0) {
            EXPECT_EQ(ReadFile(install / "file"), "a plain file");
        }
    }
}

TEST_F(ErrorPathsTest, ArchiveTheUserMayNotReadFailsTheSwapAndTheOldBundlesStay) {
    // An unprivileged run meets an archive it may write but not read: the
    // swap is tried and fails, whichever archive it is; the old bundles come
    // back whole, and the archives are removed as after any swap.
    if (!Unprivileged()) GTEST_SKIP() << "cannot run the updater as an unprivileged user";
    Launch launch;
    launch.unprivileged = true;
    for (const bool asFirst : {true, false}) {
        SCOPED_TRACE(asFirst ? "as the first archive" : "as the second archive");
        fs::remove_all(install);
        fs::create_directories(install);
        WriteFile(dir / "log", "");
        MakeOldBundles(install);
        const auto oldEs = Snapshot(install / "quoranees.app");
        const auto oldEt = Snapshot(install / "quoraneet.app");
        MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}});
        MakeArchive(install / "et.zip", {{"quoraneet.app", "et2"}});
        GiveAway(install);
        fs::permissions(install / (asFirst ? "es.zip" : "et.zip"), fs::perms(0200));

        ExpectFinishedAndLoaded(RunGuarded({install.string(), "es.zip", "et.zip"}, launch));
        EXPECT_EQ(Snapshot(install / "quoranees.app"), oldEs);
        EXPECT_EQ(Snapshot(install / "quoraneet.app"), oldEt);
        EXPECT_EQ(EntryCount(install), 2);
    }
}

// ---------------------------------------------------------------------------
// Links and depths beyond the first guess

TEST_F(ErrorPathsTest, LinkTargetsLongerThanTheFirstBufferAreJudgedWhole) {
    // The second archive, unpacked first, holds a link whose target is some
    // 300 bytes long: "./" many times over, then what decides. Only a target
    // read to its end shows whether it climbs out of the bundle.
    const std::string padding = [] {
        std::string dots;
        for (int i = 0; i < 150; ++i) dots += "./";
        return dots;
    }();
    struct Case {
        std::string name;
        std::string target;  // of quoranees.app/Contents/MacOS/link
        bool replaced;
    };
    const std::vector<Case> cases = {
        {"stays inside", padding + "../MacOS/agent", true},
        {"climbs out", padding + "../../../outside", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_GT(c.target.size(), 256U);
        FreshInstall();
        const auto before = Snapshot(install);
        MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}});
        TempDir staging;
        MakeBundle(staging.path(), "quoraneet.app", "et2");
        fs::create_directories(staging / "quoranees.app" / "Contents" / "MacOS");
        fs::create_symlink(c.target, staging / "quoranees.app" / "Contents" / "MacOS" / "link");
        const updater::ProgramResult zipped = updater::RunProgram(
            {"sh", "-c", "cd \"$1\" && zip -qry \"$2\" quoranees.app quoraneet.app", "sh",
             staging.str(), (install / "et.zip").string()});
        ASSERT_TRUE(zipped.Clean());

        ExpectFinishedAndLoaded(RunGuarded({install.string(), "es.zip", "et.zip"}));
        if (c.replaced) {
            EXPECT_EQ(BundleVersions(install), kNewVersions);
            EXPECT_EQ(fs::read_symlink(install / "quoranees.app" / "Contents" / "MacOS" / "link")
                          .string(),
                      c.target);
            EXPECT_EQ(EntryCount(install), 2);
        } else {
            EXPECT_EQ(Snapshot(install), before);
        }
    }
}

class DeepArchiveTest : public ErrorPathsTest {
protected:
    void TearDown() override { RemoveDeep(deep); }
    fs::path deep = dir / "deep";
};

// "d/d/.../d", `levels` names long.
std::string ChainPath(int levels) {
    std::string path = "d";
    for (int i = 1; i < levels; ++i) path += "/d";
    return path;
}

TEST_F(DeepArchiveTest, ArchiveReachedThroughLinksFarBelowTheRootIsRefused) {
    // The archive's directory, reached through three links, lies outside the
    // install directory and more than 4096 levels below the root: the climb
    // that looks for the install directory above it gives up before it meets
    // either, and the archive counts as outside. Nothing is touched.
    MakeOldBundles(install);
    MakeArchive(install / "et.zip", {{"quoraneet.app", "et2"}});
    const FileDescriptor bottom = MakeChain(deep, 4200);
    ASSERT_TRUE(bottom.valid());
    const FileDescriptor top(::open(deep.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const FileDescriptor at2000(
        ::openat(top.get(), ChainPath(2000).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const FileDescriptor at4000(
        ::openat(at2000.get(), ChainPath(2000).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(at2000.valid() && at4000.valid());
    // far -> ../deep/d...(2000), whose n -> d...(2000), whose n -> d...(150).
    fs::create_symlink("../deep/" + ChainPath(2000), install / "far");
    ASSERT_EQ(symlinkat(ChainPath(2000).c_str(), at2000.get(), "n"), 0);
    ASSERT_EQ(symlinkat(ChainPath(150).c_str(), at4000.get(), "n"), 0);
    {
        TempDir staging;
        MakeArchive(staging / "es.zip", {{"quoranees.app", "es2"}});
        const std::string bytes = ReadFile(staging / "es.zip");
        const FileDescriptor at4150(
            ::openat(at4000.get(), ChainPath(150).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const FileDescriptor archive(
            ::openat(at4150.get(), "es.zip", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        ASSERT_TRUE(archive.valid());
        ASSERT_EQ(write(archive.get(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }
    // The archive is there, through its name, before the run.
    const FileDescriptor installed(::open(install.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const FileDescriptor reached(::openat(installed.get(), "far/n/n/es.zip", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(reached.valid());
    const auto before = Snapshot(install);

    ExpectFinishedAndLoaded(RunGuarded({install.string(), "far/n/n/es.zip", "et.zip"}));
    EXPECT_EQ(Snapshot(install), before);
    const FileDescriptor still(
        ::openat(at4000.get(), (ChainPath(150) + "/es.zip").c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(still.valid()) << "the archive outside was removed";
}

// ---------------------------------------------------------------------------
// Removals by an unprivileged owner

TEST_F(ErrorPathsTest, UnprivilegedRunOpensUpItsOwnDirectoriesToRemoveTheOldBundles) {
    // The old bundles hold directories of the run's user that it may not
    // list (-wx), not enter or list (none), or not write (r-x), each with a
    // file in it. A valid update removes the backups entirely all the same.
    if (!Unprivileged()) GTEST_SKIP() << "cannot run the updater as an unprivileged user";
    BundleFiles more = {{"Contents/Unlistable/file", "u"},
                        {"Contents/Closed/file", "c"},
                        {"Contents/ReadOnly/file", "r"}};
    MakeBundle(install, "quoranees.app", "es1", more);
    MakeBundle(install, "quoraneet.app", "et1", more);
    MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});
    GiveAway(install);
    for (const char* bundle : {"quoranees.app", "quoraneet.app"}) {
        fs::permissions(install / bundle / "Contents" / "Unlistable", fs::perms(0300));
        fs::permissions(install / bundle / "Contents" / "Closed", fs::perms(0));
        fs::permissions(install / bundle / "Contents" / "ReadOnly", fs::perms(0555));
    }
    Launch launch;
    launch.unprivileged = true;

    ExpectFinishedAndLoaded(RunGuarded({install.string(), "es.zip", "none.zip"}, launch));
    EXPECT_EQ(BundleVersions(install), kNewVersions);
    EXPECT_EQ(EntryCount(install), 2) << testing::PrintToString(Snapshot(install));
}

// ---------------------------------------------------------------------------
// What the run inherits

TEST_F(ErrorPathsTest, RegularFileAsOutputGetsUnzipsLinesUnchanged) {
    // Output to a file (a log the caller keeps) always counts as writable;
    // unzip's lines land in it as unzip writes them by hand.
    MakeOldBundles(install);
    MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}});
    MakeArchive(install / "et.zip", {{"quoraneet.app", "et2"}});
    const std::optional<std::string> expected = UnzipLinesByHand(install, dir.path());
    ASSERT_TRUE(expected);
    const fs::path output = dir / "output";
    const int file = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(file, 0);
    Launch launch;
    launch.standardOutput = file;

    const int status = RunGuarded({install.string(), "es.zip", "et.zip"}, launch);
    close(file);
    ExpectFinishedAndLoaded(status);
    EXPECT_EQ(BundleVersions(install), kNewVersions);
    EXPECT_EQ(ReadFile(output), *expected);
}

TEST_F(ErrorPathsTest, UserDatabaseEntryLongerThanTheFirstBufferStillGivesTheHome) {
    // With HOME unset the home comes from the user database; this user's
    // entry, some 3000 bytes long, does not fit the size the C library
    // suggests, and must be read whole. /etc/passwd is replaced in a mount
    // namespace of the run's own.
    if (geteuid() != 0) GTEST_SKIP() << "replacing /etc/passwd needs root";
    std::string longHome;
    while (longHome.size() < 3000) longHome += "/" + std::string(99, 'h');
    std::istringstream lines(ReadFile("/etc/passwd"));
    std::string replaced;
    bool found = false;
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, ':');) fields.push_back(field);
        if (fields.size() >= 7 && fields[2] == "0") {
            fields[5] = longHome;
            found = true;
            line.clear();
            for (std::size_t i = 0; i < fields.size(); ++i) line += (i ? ":" : "") + fields[i];
        }
        replaced += line + "\n";
    }
    ASSERT_TRUE(found) << "no entry for uid 0 in /etc/passwd";
    const fs::path passwd = dir / "passwd";
    WriteFile(passwd, replaced);
    fs::permissions(passwd, fs::perms(0644));
    MakeOldBundles(install);
    MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});
    Launch launch;
    launch.unset = {"HOME"};
    launch.wrapper = {"unshare",
                      "-m",
                      "--propagation",
                      "private",
                      "sh",
                      "-c",
                      "mount --bind \"$1\" /etc/passwd || exit " + std::to_string(kWrapperFailed) +
                          "\nshift\nexec \"$@\"",
                      "sh",
                      passwd.string()};

    const int status = RunGuarded({install.string(), "es.zip", "none.zip"}, launch);
    if (status == kWrapperFailed || status == 127 || status == 1)
        GTEST_SKIP() << "cannot replace /etc/passwd in a mount namespace here";
    EXPECT_EQ(status, 0);
    const std::vector<std::string> logged = Log();
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(logged.front(),
              "launchctl unload " + longHome + "/Library/LaunchAgents/com.quorane.quoranees.plist");
    EXPECT_EQ(logged.back(), "launchctl load -w " + longHome +
                                 "/Library/LaunchAgents/com.quorane.quoranees.plist");
    EXPECT_EQ(BundleVersions(install), kNewVersions);
}

// ---------------------------------------------------------------------------
// Too little memory

// The data (kB) a run may use beyond what it uses as it unloads the agent
// that lets it plan a swap: the scan of an archive for backup names holds a
// megabyte, then two while it grows its buffer, and a little more.
constexpr long kPlanning = 3328;

class MemoryLimitTest : public ErrorPathsTest {
protected:
    void SetUp() override {
        ErrorPathsTest::SetUp();
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        GTEST_SKIP() << "a sanitizer's allocator reserves memory its own way";
#else
        used = DataInUse();
        ASSERT_GT(used, 0) << "the updater's data size was not seen";
#endif
    }

    // The updater's data size (kB) as it unloads the agent, from a run that
    // swaps nothing: what it uses before it plans a swap.
    long DataInUse() {
        Tool("launchctl",
             "echo \"launchctl $*\" >> \"$QUORANE_TEST_LOG\"\n"
             "[ \"$1\" = unload ] || exit 0\n"
             "p=$$\n"
             "while [ \"$p\" -gt 1 ] && [ \"$(cat /proc/$p/comm)\" != quorane-update ]; do\n"
             "  p=$(sed 's/.*) //' /proc/$p/stat | cut -d' ' -f2)\n"
             "done\n"
             "sed -n 's/^VmData:[[:space:]]*\\([0-9]*\\) kB/\\1/p' /proc/$p/status "
             "> \"$QUORANE_TEST_LOG.data\"\n");
        const TempDir empty;
        EXPECT_EQ(RunGuarded({empty.str()}), 0);
        UpdaterSandbox::SetUp();  // the plain stand-in again
        fs::remove(dir / "log");
        const std::string noted = ReadFile(dir / "log.data");
        char* end = nullptr;
        const long kb = std::strtol(noted.c_str(), &end, 10);
        return end != noted.c_str() && *end == '\n' ? kb : -1;
    }

    // Runs the updater, and it alone, with its data size limited to `kb`:
    // the programs it starts lift the limit again (a soft one) before they
    // run.
    Launch Limited(long kb) {
        Tool("unzip", "ulimit -S -d unlimited\nexec " + UnzipPath() + " \"$@\"\n");
        for (const char* tool : {"launchctl", "killall"}) {
            const std::string body = ReadFile(tools / tool);
            Tool(tool, "ulimit -S -d unlimited\n" + body.substr(body.find('\n') + 1));
        }
        Launch launch;
        launch.wrapper = {"sh", "-c",
                          "ulimit -S -d " + std::to_string(kb) + " || exit " +
                              std::to_string(kWrapperFailed) + "\nexec \"$@\"",
                          "sh"};
        return launch;
    }

    // Makes `count` subdirectories with names of 250 bytes in `where`: a walk
    // that lists it keeps all their names, some 6 MB.
    static void MakeWide(const fs::path& where, int count = 20000) {
        fs::create_directories(where);
        for (int i = 0; i < count; ++i) {
            std::string name = std::to_string(i);
            name += std::string(250 - name.size(), 'w');
            fs::create_directory(where / name);
        }
    }

    long used = 0;  // what DataInUse saw before the test began
};

TEST_F(MemoryLimitTest, TooLittleMemoryToPlanTheSwapStillLoadsTheAgent) {
    // Half a megabyte above what the run uses when it unloads the agent; the
    // scan of an archive for backup names wants a megabyte at once, and its
    // allocation fails. Nothing has been touched by then, nothing is, and the
    // agent is loaded again all the same.
    MakeOldBundles(install);
    MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}});
    MakeArchive(install / "et.zip", {{"quoraneet.app", "et2"}});
    const auto before = Snapshot(install);

    ExpectFinishedAndLoaded(
        RunGuarded({install.string(), "es.zip", "et.zip"}, Limited(used + 512)));
    EXPECT_EQ(Snapshot(install), before);
}

TEST_F(MemoryLimitTest, TooLittleMemoryToRemoveAWideBackupStillLoadsTheNewBundles) {
    // Enough memory to plan (the scan of an archive for backup names peaks at
    // some 3 MB), too little to list the old quoranees.app, which holds
    // twenty thousand directories with long names: its removal fails part
    // way, after the new bundles were flushed. The agent is loaded again with
    // both new bundles whole. What the failed removal leaves behind (the
    // backups and the archive) is not looked at here.
    MakeOldBundles(install);
    MakeWide(install / "quoranees.app" / "Contents" / "Wide");
    MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});
    TempDir staging;
    MakeBundle(staging.path(), "quoranees.app", "es2");
    MakeBundle(staging.path(), "quoraneet.app", "et2");

    ExpectFinishedAndLoaded(
        RunGuarded({install.string(), "es.zip", "none.zip"}, Limited(used + kPlanning)));
    EXPECT_EQ(Snapshot(install / "quoranees.app"), Snapshot(staging / "quoranees.app"));
    EXPECT_EQ(Snapshot(install / "quoraneet.app"), Snapshot(staging / "quoraneet.app"));
}

// An allocation that fails while what a failed update unpacked is removed
// ends that removal, not the swap: the old bundles come back under their
// names, exchanged with what could not be removed, which is left under a
// backup name.
TEST_F(MemoryLimitTest, TooLittleMemoryToRemoveAWideNewBundleStillRestoresTheOldOnes) {
    MakeOldBundles(install);
    const auto oldEs = Snapshot(install / "quoranees.app");
    const auto oldEt = Snapshot(install / "quoraneet.app");
    // One archive with both bundles, quoranees.app holding twenty thousand
    // directories with long names, its last entry damaged: unzip fails, and
    // what it unpacked must go.
    TempDir staging;
    MakeBundle(staging.path(), "quoranees.app", "es2");
    MakeWide(staging / "quoranees.app" / "Contents" / "Wide");
    MakeBundle(staging.path(), "quoraneet.app", "et2");
    const updater::ProgramResult zipped =
        updater::RunProgram({"sh", "-c", "cd \"$1\" && zip -qr \"$2\" quoranees.app quoraneet.app",
                             "sh", staging.str(), (install / "es.zip").string()});
    ASSERT_TRUE(zipped.Clean());
    DamageLastEntry(install / "es.zip");

    ExpectFinishedAndLoaded(
        RunGuarded({install.string(), "es.zip", "none.zip"}, Limited(used + kPlanning)));
    EXPECT_EQ(Snapshot(install / "quoranees.app"), oldEs);
    EXPECT_EQ(Snapshot(install / "quoraneet.app"), oldEt);
    EXPECT_FALSE(fs::exists(install / "es.zip"));
    for (const auto& entry : fs::directory_iterator(install)) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "quoranees.app" || name == "quoraneet.app" ||
                    name.rfind("quoranees.app.", 0) == 0)
            << name;
    }
}

TEST_F(MemoryLimitTest, DataLimitSweptAcrossTheRunNeverLeavesTheAgentDown) {
    // From too little memory to set aside what the load needs up to enough
    // for the whole swap: a run either leaves the agent alone or loads it
    // again, and each bundle is whole, old or new.
    // Below `used` less the memory set aside, the updater itself cannot run.
    for (long kb = std::max(used - 768, 512L); kb <= used + kPlanning + 1024; kb += 256) {
        SCOPED_TRACE("data limit " + std::to_string(kb) + " kB");
        FreshInstall();
        MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});
        EXPECT_EQ(RunGuarded({install.string(), "es.zip", "none.zip"}, Limited(kb)), 0);
        const std::vector<std::string> lines =
            fs::exists(dir / "log") ? Log() : std::vector<std::string>{};
        // A run that could not even unload the agent may load it all the
        // same, which changes nothing.
        if (std::find(lines.begin(), lines.end(), kUnload) != lines.end()) {
            EXPECT_EQ(lines.front(), kUnload);
            EXPECT_EQ(lines.back(), kLoad);
        }
        const std::string versions = BundleVersions(install);
        EXPECT_TRUE(versions == kOldVersions || versions == kNewVersions) << versions;
    }
}

// The processes whose real user is `uid`.
int ProcessesOf(uid_t uid) {
    int count = 0;
    for (fs::directory_iterator it("/proc"), end; it != end; ++it) {
        std::istringstream status(ReadFile(it->path() / "status"));
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("Uid:", 0) != 0) continue;
            std::istringstream ids(line.substr(4));
            uid_t real = 0;
            if (ids >> real && real == uid) ++count;
            break;
        }
    }
    return count;
}

TEST_F(ErrorPathsTest, ProcessLimitFilledDuringTheWaitDelaysTheLoadButNeverDropsIt) {
    // Once the agent is unloaded and killed, the user's other processes take
    // every process the user may have, for three seconds: the load cannot be
    // started at first, and is started once they are gone.
    if (!Unprivileged()) GTEST_SKIP() << "cannot run the updater as an unprivileged user";
    const rlimit limit{static_cast<rlim_t>(ProcessesOf(kUnprivilegedId) + 3),
                       static_cast<rlim_t>(ProcessesOf(kUnprivilegedId) + 3)};
    Launch launch;
    launch.unprivileged = true;
    launch.ownProcessGroup = true;
    launch.wrapper = {"bash", "-c",
                      "ulimit -u " + std::to_string(limit.rlim_cur) + " || exit " +
                          std::to_string(kWrapperFailed) + "\nexec \"$@\"",
                      "sh"};
    const pid_t run = Start({}, launch);
    for (int tick = 0; tick < 2000; ++tick) {
        if (ReadFile(dir / "log").find("killall -9 quoranees") != std::string::npos) break;
        usleep(5000);
    }
    const auto started = std::chrono::steady_clock::now();
    const pid_t filler = fork();
    if (filler == 0) {
        // Forks sleepers until the user may have no more processes.
        if (!DropPrivileges() || setrlimit(RLIMIT_NPROC, &limit) != 0) _exit(1);
        for (;;) {
            const pid_t sleeper = fork();
            if (sleeper == 0) {
                sleep(3);
                _exit(0);
            }
            if (sleeper < 0) break;
        }
        sleep(3);
        _exit(errno == EAGAIN ? 0 : 2);
    }

    const std::optional<int> status = FinishWithin(run, 60);
    const auto finished = std::chrono::steady_clock::now();
    ASSERT_TRUE(status) << "the run hung and was killed";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    const int filled = Finish(filler);
    EXPECT_TRUE(WIFEXITED(filled) && WEXITSTATUS(filled) == 0) << "the limit was never reached";
    EXPECT_EQ(Log().back(), kLoad);
    // The load came only once the other processes had gone.
    EXPECT_GE(finished - started, std::chrono::milliseconds(2500));
}

// ---------------------------------------------------------------------------
// Programs started from a process set up badly

TEST(ErrorPathsRunProgram, PollThatFailsEndsTheCheckOfAPipedStream) {
    // With no descriptor allowed at all, asking whether a piped standard
    // output has room fails (EINVAL: more descriptors asked about than
    // allowed) instead of answering; the check ends there rather than asking
    // again, and the program, which could not even be given /dev/null as its
    // input, is reported as not started.
    const std::optional<std::string> seen = RunInChild(
        [] {
            int ends[2];
            if (pipe2(ends, O_CLOEXEC) != 0 || dup2(ends[1], STDOUT_FILENO) < 0)
                return std::string("no pipe");
            rlimit limit{};
            getrlimit(RLIMIT_NOFILE, &limit);
            const rlimit none = {0, limit.rlim_max};
            if (setrlimit(RLIMIT_NOFILE, &none) != 0) return std::string("no limit");
            const updater::ProgramResult result = updater::RunProgram({"true"});
            setrlimit(RLIMIT_NOFILE, &limit);
            return result.ending == updater::ProgramResult::Ending::NotStarted
                       ? std::string("not started")
                       : "ended " + std::to_string(result.code);
        },
        20);
    ASSERT_TRUE(seen) << "the run hung or crashed";
    EXPECT_EQ(*seen, "not started");
}

TEST(ErrorPathsRunProgram, EndingThatCannotBeCollectedIsNoCleanEnding) {
    // In a process that ignores SIGCHLD and never called StartFromKnownState
    // the ending of a program cannot be collected: the wait lasts until the
    // program has ended, then fails (ECHILD), and the run is reported as not
    // started, never as a success.
    const std::optional<std::string> seen = RunInChild(
        [] {
            ::signal(SIGCHLD, SIG_IGN);
            TempDir out;
            const updater::ProgramResult result = updater::RunProgram(
                {"sh", "-c", "sleep 0.2; echo done > \"$0\"", (out / "done").string()});
            const bool notStarted = result.ending == updater::ProgramResult::Ending::NotStarted;
            return std::string(notStarted ? "not started" : "ended") +
                   (result.Clean() ? " clean " : " unclean ") + ReadFile(out / "done");
        },
        20);
    ASSERT_TRUE(seen) << "the run hung or crashed";
    EXPECT_EQ(*seen, "not started unclean done\n");
}

}  // namespace
}  // namespace quorane::test
