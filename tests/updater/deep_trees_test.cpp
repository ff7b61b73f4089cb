// The built updater on trees made to defeat a walk: bundles hundreds or
// thousands of levels deep under small descriptor and stack limits, too few
// descriptors to finish a swap, a link that leads out only once the other
// archive is unpacked and links out of a bundle in the archive unpacked last
// (which stay), a file system mounted inside an old bundle, and
// directories the updater's user may not write. In every case the old bundles
// come back under their names or the new ones are kept, no backup is left
// that could be removed, and the agent is loaded again.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "UpdaterTestSupport.h"

namespace quorane::test {
namespace {

// The exit status of a wrapper that could not set up what the test needs.
constexpr int kWrapperFailed = 90;

// Makes a chain of `depth` directories named "d" below `top` (created when
// missing), with a file "leaf" at the bottom, one level at a time relative to
// the level above, so that no path is ever longer than one name.
void MakeChain(const fs::path& top, int depth) {
    fs::create_directories(top);
    int level = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(level, 0);
    for (int i = 0; i < depth; ++i) {
        ASSERT_EQ(mkdirat(level, "d", 0755), 0) << "level " << i;
        const int next = openat(level, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(level);
        ASSERT_GE(next, 0) << "level " << i;
        level = next;
    }
    const int leaf = openat(level, "leaf", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    EXPECT_GE(leaf, 0);
    close(leaf);
    close(level);
}

// Removes a tree of any depth, as the field's tool does.
void RemoveDeep(const fs::path& path) {
    ASSERT_TRUE(updater::RunProgram({"rm", "-rf", path.string()}).Clean());
}

// A wrapper that runs the updater under a shell's resource limit.
std::vector<std::string> UnderLimit(const std::string& limit) {
    return {"sh", "-c",
            "ulimit " + limit + " || exit " + std::to_string(kWrapperFailed) + "\nexec \"$@\"",
            "sh"};
}

class DeepTreesTest : public UpdaterSandbox {
protected:
    // Deep trees take a while to unpack and to remove.
    DeepTreesTest() { watchdogSeconds = 120; }

    void TearDown() override { RemoveDeep(install); }

    // A fresh install directory holding both old bundles, and no log; the
    // snapshots of the old bundles.
    std::map<std::string, std::map<std::string, std::string>> Fresh() {
        RemoveDeep(install);
        fs::create_directories(install);
        fs::remove(dir / "log");
        MakeOldBundles(install);
        return BundleSnapshots(install);
    }

    // Zips the named entries of `staging` (links stored as links) into the
    // install directory; with `directories` false, only files and links get
    // entries of their own, which keeps unpacking a deep chain from costing
    // unzip a walk down the whole chain for each of its levels.
    void Zip(const fs::path& staging, const std::string& archive,
             const std::vector<std::string>& entries, bool directories = true) {
        std::vector<std::string> argv = {"sh",
                                         "-c",
                                         "cd \"$1\" && shift && exec zip \"$@\"",
                                         "sh",
                                         staging.string(),
                                         directories ? "-qry" : "-qryD",
                                         (install / archive).string()};
        argv.insert(argv.end(), entries.begin(), entries.end());
        ASSERT_TRUE(updater::RunProgram(argv).Clean());
    }

    // What every run must end with: the agent loaded again, status 0, and no
    // backup left behind.
    void ExpectFinished(int status) {
        EXPECT_EQ(status, 0);
        ExpectLoadedLast(Log());
        for (fs::directory_iterator it(install), end; it != end; ++it)
            EXPECT_FALSE(IsAnyBackupName(it->path().filename().string())) << it->path();
    }

    // A valid update leaves the new bundles and nothing else; a failed one
    // the old bundles exactly as they were.
    void ExpectBundles(bool valid,
                       const std::map<std::string, std::map<std::string, std::string>>& old) {
        if (valid) {
            EXPECT_EQ(BundleVersions(install), kNewVersions);
            EXPECT_EQ(EntryCount(install), 2);
        } else {
            EXPECT_EQ(BundleSnapshots(install), old);
        }
    }
};

TEST_F(DeepTreesTest, DeepBundleIsRemovedWithFewDescriptorsOrLittleStack) {
    // The deep bundle is the new one of a failed update (only one bundle
    // arrives, so the update fails after the deep one is unpacked), or the
    // old one of a valid update.
    struct Case {
        std::string limit;
        int depth;
        bool deepOld;
    };
    for (const Case& c :
         {Case{"-n 256", 600, false}, Case{"-s 128", 2000, false}, Case{"-n 256", 600, true}}) {
        SCOPED_TRACE("ulimit " + c.limit + ", " + std::to_string(c.depth) + " levels, " +
                     (c.deepOld ? "old bundle of a valid update" : "new bundle of a failed one"));
        const auto old = Fresh();
        if (c.deepOld) {
            MakeChain(install / "quoranees.app" / "Contents", c.depth);
            MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});
        } else {
            TempDir staging;
            MakeBundle(staging.path(), "quoranees.app", "es2");
            MakeChain(staging / "quoranees.app" / "Contents", c.depth);
            Zip(staging.path(), "es.zip", {"quoranees.app"}, false);
            RemoveDeep(staging / "quoranees.app");
        }
        Launch launch;
        launch.wrapper = UnderLimit(c.limit);

        const int status = RunGuarded({install.string(), "es.zip", "none.zip"}, launch);
        ASSERT_NE(status, kWrapperFailed) << "the limit could not be set";
        ExpectFinished(status);
        ExpectBundles(c.deepOld, old);
        EXPECT_FALSE(fs::exists(install / "es.zip"));
    }
}

TEST_F(DeepTreesTest, TooFewDescriptorsToFinishLeaveEverythingAsItWas) {
    // dash needs descriptors above ten to read a script at all: the
    // stand-ins run under bash and take back what the soft limit withholds.
    for (const char* tool : {"launchctl", "killall"}) {
        WriteFile(tools / tool, std::string("#!/bin/bash\nulimit -S -n 64\necho \"") + tool +
                                    " $*\" >> \"$QUORANE_TEST_LOG\"\n");
        fs::permissions(tools / tool, fs::perms(0755));
    }
    for (int limit = 9; limit <= 12; ++limit) {
        SCOPED_TRACE("ulimit -n " + std::to_string(limit));
        Fresh();
        MakeChain(install / "quoranees.app" / "Contents", 40);
        MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}});
        MakeArchive(install / "et.zip", {{"quoraneet.app", "et2"}});
        DamageLastEntry(install / "et.zip");
        const auto before = Snapshot(install);
        Launch launch;
        launch.wrapper = UnderLimit("-S -n " + std::to_string(limit));

        // The second archive is damaged: a swap that starts must roll back,
        // deep old bundle and all; one that cannot finish must not start.
        const int status = RunGuarded({install.string(), "es.zip", "et.zip"}, launch);
        ASSERT_NE(status, kWrapperFailed) << "the limit could not be set";
        ExpectFinished(status);
        auto after = Snapshot(install);
        if (after != before) {
            // It ran: only the archives are gone.
            auto expected = before;
            expected.erase("es.zip");
            expected.erase("et.zip");
            EXPECT_TRUE(after == expected) << "a swap was left half done";
        }
    }
}

TEST_F(DeepTreesTest, LinksAreJudgedBetweenArchivesOnly) {
    // Links in a bundle are judged by their text once the second archive is
    // unpacked, so that the first cannot be led outside through them; the
    // first archive, unpacked last, leads no further unzip anywhere, so its
    // links are the agent's own and stay as they are, wherever they lead.
    // Nothing is ever written outside.
    const fs::path outside = dir / "outside";
    fs::create_directories(outside / "kept");
    WriteFile(outside / "kept" / "file", "precious");
    const auto outsideBefore = Snapshot(outside);
    struct Case {
        std::string name;
        std::function<void(const fs::path& second, const fs::path& first)> make;
        std::map<std::string, std::string> links;  // by path in the install directory, when kept
    };
    const std::vector<Case> cases = {
        // The second archive brings a link that leads nowhere while
        // quoranees.app is away under its backup name; the first brings
        // quoranees.app, which makes the link lead outside, and an entry
        // below the link.
        {"link that leads out only once the first archive is unpacked",
         [&](const fs::path& second, const fs::path& first) {
             MakeBundle(second, "quoraneet.app", "et2");
             fs::create_symlink("../../quoranees.app/../../outside",
                                second / "quoraneet.app" / "Contents" / "D");
             Zip(second, "et.zip", {"quoraneet.app"});
             MakeBundle(first, "quoranees.app", "es2");
             fs::create_directories(first / "quoraneet.app" / "Contents" / "D");
             WriteFile(first / "quoraneet.app" / "Contents" / "D" / "pwned", "written outside");
             Zip(first, "es.zip", {"quoranees.app", "quoraneet.app"});
         },
         {}},
        {"links that stay in their bundle",
         [&](const fs::path& second, const fs::path&) {
             MakeBundle(second, "quoraneet.app", "et2");
             fs::create_directories(second / "quoraneet.app" / "Contents" / "Versions" / "A");
             fs::create_directories(second / "quoraneet.app" / "Contents" / "Frameworks");
             fs::create_symlink("Versions/A", second / "quoraneet.app" / "Contents" / "Current");
             fs::create_symlink("../Versions/A/missing-yet",
                                second / "quoraneet.app" / "Contents" / "Frameworks" / "Lib");
             Zip(second, "et.zip", {"quoraneet.app"});
             MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}});
         },
         {{"quoraneet.app/Contents/Current", "Versions/A"},
          {"quoraneet.app/Contents/Frameworks/Lib", "../Versions/A/missing-yet"}}},
        {"links out of their bundle in the archive unpacked last",
         [&](const fs::path&, const fs::path& first) {
             MakeArchive(install / "et.zip", {{"quoraneet.app", "et2"}});
             MakeBundle(first, "quoranees.app", "es2");
             fs::create_symlink(outside, first / "quoranees.app" / "Contents" / "Absolute");
             fs::create_symlink("../../outside/kept",
                                first / "quoranees.app" / "Contents" / "Climbing");
             Zip(first, "es.zip", {"quoranees.app"});
         },
         {{"quoranees.app/Contents/Absolute", outside.string()},
          {"quoranees.app/Contents/Climbing", "../../outside/kept"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto old = Fresh();
        TempDir second, first;
        c.make(second.path(), first.path());

        ExpectFinished(RunGuarded({install.string(), "es.zip", "et.zip"}));
        EXPECT_EQ(Snapshot(outside), outsideBefore);
        ExpectBundles(!c.links.empty(), old);
        if (!c.links.empty()) {
            for (const auto& [link, target] : c.links) {
                boost::system::error_code ec;
                EXPECT_EQ(fs::read_symlink(install / link, ec).string(), target) << link;
            }
        }
    }
}

TEST_F(DeepTreesTest, FileSystemMountedInsideAnOldBundleLosesNothing) {
    // A data directory bind-mounted inside the old bundle, and a tmpfs beside
    // it, in a mount namespace of the run's own; a valid update removes the
    // backup, and nothing mounted may go with it.
    const fs::path data = dir / "data";
    fs::create_directories(data / "inner");
    WriteFile(data / "inner" / "record", "keep me");
    const auto dataBefore = Snapshot(data);
    MakeOldBundles(install);
    fs::create_directories(install / "quoranees.app" / "Contents" / "Data");
    fs::create_directories(install / "quoranees.app" / "Contents" / "Scratch");
    MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});
    const fs::path scratchCopy = dir / "scratch-after";
    const std::string setup =
        "mount --bind \"$1\" \"$2/quoranees.app/Contents/Data\" || exit 90\n"
        "mount -t tmpfs tmpfs \"$2/quoranees.app/Contents/Scratch\" || exit 90\n"
        "echo 'on tmpfs' > \"$2/quoranees.app/Contents/Scratch/note\" || exit 90\n"
        "install=$2 after=$3\n"
        "shift 3\n"
        "\"$@\"\n"
        "status=$?\n"
        "for d in \"$install\"/*/Contents/Scratch; do\n"
        "  [ -f \"$d/note\" ] && cp \"$d/note\" \"$after\"\n"
        "done\n"
        "exit $status\n";
    Launch launch;
    launch.wrapper = {
        "unshare", "-m",          "--propagation",  "private",           "sh", "-c", setup,
        "sh",      data.string(), install.string(), scratchCopy.string()};

    const int status = RunGuarded({install.string(), "es.zip", "none.zip"}, launch);
    if (status == kWrapperFailed || status == 1)
        GTEST_SKIP() << "cannot make a private mount namespace here";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Snapshot(data), dataBefore);
    EXPECT_EQ(ReadFile(scratchCopy), "on tmpfs\n") << "the tmpfs's file was removed";
    EXPECT_EQ(BundleVersions(install), kNewVersions);
    // What may stay of the backup are the directories that led to the mount
    // points, and nothing else.
    const std::set<std::string> mayStay = {"Contents", "Contents/Data", "Contents/Scratch"};
    for (fs::directory_iterator it(install), end; it != end; ++it) {
        if (!IsAnyBackupName(it->path().filename().string())) continue;
        for (const auto& [path, content] : Snapshot(it->path()))
            EXPECT_TRUE(mayStay.count(path) == 1 && content == "dir/") << path;
    }
}

TEST_F(DeepTreesTest, DirectoriesWithoutWritePermissionAreEmptiedByTheirOwner) {
    if (!Unprivileged()) GTEST_SKIP() << "cannot run the updater as an unprivileged user";
    Launch launch;
    launch.unprivileged = true;
    struct Case {
        std::string name;
        bool valid;
        std::function<void()> make;  // the archive, and the directories no one may write
    };
    const std::vector<Case> cases = {
        {"in the new bundle of a failed update", false,
         [&] {
             TempDir staging;
             MakeBundle(staging.path(), "quoranees.app", "es2");
             fs::permissions(staging / "quoranees.app" / "Contents" / "MacOS", fs::perms(0555));
             Zip(staging.path(), "es.zip", {"quoranees.app"});
         }},
        {"in the old bundle of a valid update", true,
         [&] {
             MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});
             fs::permissions(install / "quoranees.app" / "Contents" / "MacOS", fs::perms(0555));
             fs::permissions(install / "quoraneet.app" / "Contents", fs::perms(0500));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto old = Fresh();
        WriteFile(dir / "log", "");
        fs::permissions(dir / "log", fs::perms(0666));
        c.make();
        GiveAway(install);

        ExpectFinished(RunGuarded({install.string(), "es.zip", "none.zip"}, launch));
        ExpectBundles(c.valid, old);
    }
}

}  // namespace
}  // namespace quorane::test
