// The built updater on a filesystem that works against it: a directory it
// may not write, an archive it may not read, bundles it cannot move, a full
// filesystem. Whatever fails, the agent is loaded again, the exit status is
// 0 and the old bundles are intact under their own names.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BundleSwap.h"
#include "UpdaterTestSupport.h"

namespace quorane::test {
namespace {

// Sets the immutable flag of a directory for as long as it lives.
class Immutable {
public:
    explicit Immutable(const fs::path& path) : fd_(open(path.c_str(), O_RDONLY | O_DIRECTORY)) {
        int flags = 0;
        set_ = fd_ >= 0 && ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0 &&
               (flags |= FS_IMMUTABLE_FL, ioctl(fd_, FS_IOC_SETFLAGS, &flags) == 0);
    }
    ~Immutable() {
        int flags = 0;
        if (set_ && ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
            flags &= ~FS_IMMUTABLE_FL;
            ioctl(fd_, FS_IOC_SETFLAGS, &flags);
        }
        if (fd_ >= 0) close(fd_);
    }
    Immutable(const Immutable&) = delete;
    Immutable& operator=(const Immutable&) = delete;

    bool set() const { return set_; }

private:
    int fd_;
    bool set_ = false;
};

using Tree = std::map<std::string, std::string>;

class FilesystemFaultTest : public UpdaterSandbox {
protected:
    void SetUp() override {
        UpdaterSandbox::SetUp();
        Reset();
    }

    // The sample install: both bundles, one archive for each.
    void Reset() {
        fs::remove(dir / "log");
        MakeSampleInstall(install);
        old = BundleSnapshots(install);
    }

    // What every faulty run must end with: the agent loaded again, status 0,
    // and the old bundles untouched under their own names (one that was not
    // there is not there).
    void ExpectOldBundlesKept(int status, const fs::path& where) {
        EXPECT_EQ(status, 0);
        ExpectLoadedLast(Log());
        for (const auto& [bundle, snapshot] : old)
            EXPECT_EQ(Snapshot(where / bundle), snapshot) << bundle;
    }

    std::map<std::string, Tree> old;
};

TEST_F(FilesystemFaultTest, FaultThatStopsTheUpdateKeepsTheOldBundles) {
    // Each row brings its fault into the sample install; a fault this machine
    // cannot make skips its row. Afterwards the old bundles are as they were,
    // and the install directory holds `entries` entries, or, where no bundle
    // could be moved aside for good, everything it held before.
    std::unique_ptr<Immutable> pinned;  // held for the length of one run
    struct Case {
        std::string name;
        bool unprivileged;
        std::function<void(Launch&)> fault;
        std::ptrdiff_t entries;  // 0: all as before
    };
    const std::vector<Case> cases = {
        {"install directory that may not be written", true, [](Launch&) {}, 0},
        // The readable archive had been unpacked; that was taken away again.
        {"archive that may not be read", true,
         [&](Launch&) {
             GiveAway(install);
             EXPECT_EQ(lchown((install / "es.zip").c_str(), 0, 0), 0);
             fs::permissions(install / "es.zip", fs::perms(0600));
         },
         2},
        // The first bundle moves aside, the second does not: the first comes
        // back, and nothing is unpacked.
        {"immutable bundle", false,
         [&](Launch&) { pinned = std::make_unique<Immutable>(install / "quoraneet.app"); }, 0},
        {"bundle of another user in a sticky directory", true,
         [&](Launch&) {
             EXPECT_EQ(chmod(install.c_str(), 01777), 0);
             GiveAway(install / "quoranees.app");
         },
         0},
        {"every backup name taken by a full directory", false,
         [&](Launch&) {
             for (int number = 0; number <= 999; ++number) {
                 for (const char* bundle : {"quoranees.app", "quoraneet.app"}) {
                     const fs::path taken = install / updater::BackupName(bundle, number);
                     fs::create_directory(taken);
                     WriteFile(taken / "keep", "stale");
                 }
             }
         },
         0},
        // No quoraneet.app before the run, and no first archive: the update
        // fails, and the first removal of the unpacked quoraneet.app stops
        // when one file of it cannot be removed for a moment. It goes all
        // the same, and leaves nothing under a backup name either.
        {"first removal of a bundle without a backup cut short", false,
         [&](Launch& launch) {
             fs::remove_all(install / "quoraneet.app");
             old["quoraneet.app"] = {};
             fs::remove(install / "es.zip");
             MakeArchive(install / "et.zip", {{"quoraneet.app", "et2"}},
                         {{"Contents/Resources/busy", "in use"}});
             launch.environment = RaceShimEnvironment({"QUORANE_RACE_BUSY=busy"});
         },
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        Launch launch;
        launch.unprivileged = c.unprivileged;
        if (c.unprivileged && !Unprivileged()) {
            std::cout << "[ SKIPPED  ] " << c.name << ": cannot run as an unprivileged user\n";
            continue;
        }
        c.fault(launch);
        if (pinned && !pinned->set()) {
            std::cout << "[ SKIPPED  ] " << c.name << ": no immutable flag on this filesystem\n";
            pinned.reset();
            continue;
        }
        const Tree before = Snapshot(install);
        const int status = Run({install.string(), "es.zip", "et.zip"}, launch);
        pinned.reset();
        ExpectOldBundlesKept(status, install);
        if (c.entries == 0) {
            EXPECT_EQ(Snapshot(install), before);
        } else {
            EXPECT_EQ(EntryCount(install), c.entries);
        }
    }
}

TEST_F(FilesystemFaultTest, FilesystemThatFillsUpWhileUnpacking) {
    // The install lives on a 1 MiB tmpfs, mounted in a mount namespace of the
    // run's own; the new bundle unpacks to 8 MiB. What the run leaves is
    // copied out before the namespace goes.
    const fs::path seed = dir / "seed", after = dir / "after";
    fs::rename(install, seed);
    fs::create_directories(install);
    MakeArchive(seed / "es.zip", {{"quoranees.app", "es2"}},
                {{"Contents/Resources/large", std::string(8 << 20, '\0')}});
    Launch launch;
    launch.wrapper = SmallTmpfsWrapper(install, seed, after);
    const int status = Run({install.string(), "es.zip", "et.zip"}, launch);
    if (status == kNoSmallTmpfs || status == 127)
        GTEST_SKIP() << "cannot mount a small tmpfs in a private mount namespace here";
    ASSERT_NE(status, kSeedNotCopied) << "could not fill the tmpfs with the sample install";
    ASSERT_NE(status, kResultNotCopied) << "could not copy the result out";

    ExpectOldBundlesKept(status, after);
    // The archives are gone, the unpacked part too, and no backup is left.
    EXPECT_EQ(EntryCount(after), 2);
}

}  // namespace
}  // namespace quorane::test
