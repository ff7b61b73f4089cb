// The built updater on a filesystem that works against it: a directory it
// may not write, an archive it may not read, bundles it cannot move, a full
// filesystem. Whatever fails, the agent is loaded again, the exit status is
// 0 and the old bundles are intact under their own names.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <map>
#include <optional>
#include <string>

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

class FilesystemFaultTest : public UpdaterSandbox {
protected:
    void SetUp() override {
        UpdaterSandbox::SetUp();
        MakeBundle(install, "quoranees.app", "es1");
        MakeBundle(install, "quoraneet.app", "et1");
        MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}});
        MakeArchive(install / "et.zip", {{"quoraneet.app", "et2"}});
        for (const char* bundle : {"quoranees.app", "quoraneet.app"})
            old[bundle] = Snapshot(install / bundle);
    }

    // What every faulty run must end with: the agent loaded again, status 0,
    // and the old bundles untouched under their own names.
    void ExpectOldBundlesKept(int status, const fs::path& where) {
        EXPECT_EQ(status, 0);
        const auto log = Log();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), kLoad);
        for (const auto& [bundle, snapshot] : old)
            EXPECT_EQ(Snapshot(where / bundle), snapshot) << bundle;
    }

    std::map<std::string, std::map<std::string, std::string>> old;
};

TEST_F(FilesystemFaultTest, InstallDirectoryThatMayNotBeWritten) {
    if (!Unprivileged()) GTEST_SKIP() << "cannot run the updater as an unprivileged user";
    Launch launch;
    launch.unprivileged = true;
    const auto before = Snapshot(install);
    ExpectOldBundlesKept(Run({install.string(), "es.zip", "et.zip"}, launch), install);
    EXPECT_EQ(Snapshot(install), before);  // nothing moved, nothing unpacked, archives kept
}

TEST_F(FilesystemFaultTest, ArchiveThatMayNotBeRead) {
    if (!Unprivileged()) GTEST_SKIP() << "cannot run the updater as an unprivileged user";
    GiveAway(install);
    ASSERT_EQ(lchown((install / "es.zip").c_str(), 0, 0), 0);
    fs::permissions(install / "es.zip", fs::perms(0600));
    Launch launch;
    launch.unprivileged = true;
    ExpectOldBundlesKept(Run({install.string(), "es.zip", "et.zip"}, launch), install);
    // The readable archive had been unpacked; that was taken away again.
    EXPECT_EQ(std::distance(fs::directory_iterator(install), fs::directory_iterator()), 2);
}

TEST_F(FilesystemFaultTest, BundleThatCannotBeMovedAside) {
    // The first bundle moves aside, the second does not: the first comes back.
    {
        SCOPED_TRACE("immutable bundle");
        const Immutable pinned(install / "quoraneet.app");
        if (pinned.set()) {
            ExpectOldBundlesKept(Run({install.string(), "es.zip", "et.zip"}), install);
            EXPECT_TRUE(fs::exists(install / "es.zip"));
        } else {
            std::cout << "[ SKIPPED  ] immutable flag not supported by this filesystem\n";
        }
    }
    {
        SCOPED_TRACE("bundle of another user in a sticky directory");
        fs::remove(dir / "log");
        if (Unprivileged()) {
            ASSERT_EQ(chmod(install.c_str(), 01777), 0);
            GiveAway(install / "quoranees.app");
            Launch launch;
            launch.unprivileged = true;
            ExpectOldBundlesKept(Run({install.string(), "es.zip", "et.zip"}, launch), install);
            EXPECT_TRUE(fs::exists(install / "et.zip"));
        } else {
            std::cout << "[ SKIPPED  ] cannot run the updater as an unprivileged user\n";
        }
    }
}

TEST_F(FilesystemFaultTest, EveryBackupNameTakenByAFullDirectory) {
    for (int number = 0; number <= 999; ++number) {
        for (const char* bundle : {"quoranees.app", "quoraneet.app"}) {
            const fs::path taken = install / updater::BackupName(bundle, number);
            fs::create_directory(taken);
            WriteFile(taken / "keep", "stale");
        }
    }
    const auto before = Snapshot(install);
    ExpectOldBundlesKept(Run({install.string(), "es.zip", "et.zip"}), install);
    EXPECT_EQ(Snapshot(install), before);
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
    EXPECT_EQ(std::distance(fs::directory_iterator(after), fs::directory_iterator()), 2);
}

}  // namespace
}  // namespace quorane::test
