// The built updater started from the places it really is started from: by a
// daemon that ignores SIGCHLD, by an agent that no longer reads its output,
// from a terminal, by a service manager that signals its process group, with
// no HOME, and with an install directory whose name changes meaning during
// the run. Whatever it inherited, a valid update is installed, a bad one is
// rolled back, and the agent is loaded again.
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "UpdaterTestSupport.h"

namespace quorane::test {
namespace {

using namespace std::chrono_literals;

constexpr int kWatchdogSeconds = 60;

// The real unzip, for stand-ins that wrap it.
std::string UnzipPath() {
    for (const char* candidate : {"/usr/bin/unzip", "/bin/unzip"})
        if (access(candidate, X_OK) == 0) return candidate;
    return "unzip";
}

// The entries of a snapshot below `top`, by their path relative to it.
std::map<std::string, std::string> Within(const std::map<std::string, std::string>& snapshot,
                                          const std::string& top) {
    std::map<std::string, std::string> below;
    for (const auto& [path, content] : snapshot) {
        if (path.rfind(top + "/", 0) == 0) below[path.substr(top.size() + 1)] = content;
    }
    return below;
}

class InheritedStateTest : public UpdaterSandbox {
protected:
    void Reset() {
        fs::remove_all(install);
        fs::create_directories(install);
        fs::remove(dir / "log");
        MakeBundle(install, "quoranees.app", "es1");
        MakeBundle(install, "quoraneet.app", "et1");
        MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}});
        MakeArchive(install / "et.zip", {{"quoraneet.app", "et2"}});
    }

    // Runs under the watchdog, in a group of its own unless the launch makes a
    // session; a run that hangs is cut off with everything it started. Its
    // exit status, or -1 when it did not exit by itself.
    int RunGuarded(const std::vector<std::string>& args, Launch launch = {}) {
        launch.ownProcessGroup = true;
        const pid_t run = Start(args, launch);
        for (int tick = 0; tick < kWatchdogSeconds * 20; ++tick) {
            int status = 0;
            if (waitpid(run, &status, WNOHANG) == run)
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            std::this_thread::sleep_for(50ms);
        }
        ADD_FAILURE() << "the run hung and was cut off";
        CutPower(run);
        Finish(run);
        return -1;
    }

    void ExpectNewBundles() {
        EXPECT_EQ(BundleVersions(install), "quoranees.app=es2 quoraneet.app=et2");
        EXPECT_EQ(std::distance(fs::directory_iterator(install), fs::directory_iterator()), 2);
        ASSERT_FALSE(Log().empty());
        EXPECT_EQ(Log().back(), kLoad);
    }
};

TEST_F(InheritedStateTest, IgnoredChildSignalStillLetsEveryUnpackBeSeenToItsEnd) {
    // A daemon that reaps by ignoring SIGCHLD passes that on through exec.
    Reset();
    Launch launch;
    launch.ignoredSignals = {SIGCHLD};
    EXPECT_EQ(RunGuarded({install.string(), "es.zip", "et.zip"}, launch), 0);
    ExpectNewBundles();
}

TEST_F(InheritedStateTest, OutputNobodyCanReadCostsNothing) {
    struct Case {
        std::string name;
        std::function<int()> open;  // the descriptor the run writes its output to
    };
    const std::vector<Case> cases = {
        {"pipe whose reader is gone",
         [] {
             int ends[2];
             if (pipe2(ends, O_CLOEXEC) != 0) return -1;
             close(ends[0]);
             return ends[1];
         }},
        {"device that refuses writes", [] { return open("/dev/full", O_WRONLY | O_CLOEXEC); }},
        {"descriptor open for reading only",
         [] { return open("/dev/null", O_RDONLY | O_CLOEXEC); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        const int output = c.open();
        ASSERT_GE(output, 0);
        Launch launch;
        launch.standardOutput = output;
        EXPECT_EQ(RunGuarded({install.string(), "es.zip", "et.zip"}, launch), 0);
        close(output);
        ExpectNewBundles();
    }
}

TEST_F(InheritedStateTest, OutputThatIsReadGetsUnzipsLinesUnchanged) {
    Reset();
    // What unzip writes when run by hand on copies of the same archives, in
    // the same order and from the same directory.
    const std::optional<std::string> expected = UnzipLinesByHand(install, dir.path());
    ASSERT_TRUE(expected);

    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    std::string received;
    std::thread reader([&] {
        char buffer[4096];
        for (ssize_t count; (count = read(ends[0], buffer, sizeof buffer)) > 0;)
            received.append(buffer, static_cast<std::size_t>(count));
    });
    Launch launch;
    launch.standardOutput = ends[1];
    const int status = RunGuarded({install.string(), "es.zip", "et.zip"}, launch);
    close(ends[1]);
    reader.join();
    close(ends[0]);

    EXPECT_EQ(status, 0);
    ExpectNewBundles();
    EXPECT_EQ(received, *expected);
}

TEST_F(InheritedStateTest, SignalToTheProcessGroupNeverCutsTheLoadShort) {
    // The load takes a while; a terminate request to the whole group arrives
    // in the middle of it.
    Tool("launchctl",
         "echo \"launchctl $*\" >> \"$QUORANE_TEST_LOG\"\n"
         "[ \"$1\" = load ] || exit 0\n"
         "sleep 1\n"
         "echo \"loaded\" >> \"$QUORANE_TEST_LOG\"\n");
    Reset();
    Launch launch;
    launch.ownProcessGroup = true;
    const pid_t run = Start({install.string(), "es.zip", "et.zip"}, launch);
    bool loading = false;
    for (int tick = 0; tick < kWatchdogSeconds * 100 && !loading; ++tick) {
        const auto lines = Log();
        loading = std::find(lines.begin(), lines.end(), kLoad) != lines.end();
        if (!loading) std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(loading) << "the run never began to load the agent";
    ASSERT_EQ(kill(-run, SIGTERM), 0);
    const std::optional<int> status = FinishWithin(run, kWatchdogSeconds);

    ASSERT_TRUE(status) << "the run hung";
    // The load finished, then the request took effect.
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM) << "status " << *status;
    ASSERT_FALSE(Log().empty());
    EXPECT_EQ(Log().back(), "loaded");
    EXPECT_EQ(BundleVersions(install), "quoranees.app=es2 quoraneet.app=et2");
}

TEST_F(InheritedStateTest, EncryptedEntryInARunFromATerminalFailsTheUpdateInsteadOfAsking) {
    Reset();
    // Both bundles in one archive, one of its files encrypted: unzip would ask
    // for the password on the terminal.
    TempDir staging;
    MakeBundle(staging.path(), "quoranees.app", "es2");
    MakeBundle(staging.path(), "quoraneet.app", "et2");
    const updater::ProgramResult zipped = updater::RunProgram(
        {"sh", "-c", "cd \"$1\" && zip -qr -P secret \"$2\" quoranees.app quoraneet.app", "sh",
         staging.str(), (install / "both.zip").string()});
    ASSERT_TRUE(zipped.Clean());
    const auto old =
        std::make_pair(Snapshot(install / "quoranees.app"), Snapshot(install / "quoraneet.app"));

    const int terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal), 0);
    ASSERT_EQ(unlockpt(terminal), 0);
    // Whatever the run shows on the terminal is read and thrown away.
    std::thread drain([terminal] {
        char buffer[256];
        while (read(terminal, buffer, sizeof buffer) > 0) {
        }
    });
    Launch launch;
    launch.terminal = fs::path(ptsname(terminal));
    const int status = RunGuarded({install.string(), "both.zip", "both.zip"}, launch);
    // The run and all it started are gone, so the terminal has hung up and
    // the drain has ended.
    drain.join();
    close(terminal);

    EXPECT_EQ(status, 0);
    EXPECT_EQ(Snapshot(install / "quoranees.app"), old.first);
    EXPECT_EQ(Snapshot(install / "quoraneet.app"), old.second);
    EXPECT_FALSE(fs::exists(install / "both.zip"));
    ASSERT_FALSE(Log().empty());
    EXPECT_EQ(Log().back(), kLoad);
}

TEST_F(InheritedStateTest, TildeMeansTheUsersHomeWhateverTheEnvironmentSays) {
    // The user database's home of the user the test runs as.
    const passwd* user = getpwuid(getuid());
    ASSERT_NE(user, nullptr);
    const std::string plist =
        std::string(user->pw_dir) + "/Library/LaunchAgents/com.quorane.quoranees.plist";
    // A working directory holding what "~" would mean if left to the shell.
    const fs::path planted = dir / "cwd";
    fs::create_directories(planted / "~" / "Library" / "LaunchAgents");
    WriteFile(planted / "~" / "Library" / "LaunchAgents" / "com.quorane.quoranees.plist", "x");

    struct Case {
        std::string name;
        Launch launch;
    };
    std::vector<Case> cases(2);
    cases[0].name = "HOME unset";
    cases[0].launch.unset = {"HOME"};
    cases[1].name = "HOME empty";
    cases[1].launch.environment = {"HOME="};
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        c.launch.workingDirectory = planted;
        EXPECT_EQ(RunGuarded({install.string(), "es.zip", "et.zip"}, c.launch), 0);
        const std::vector<std::string> lines = Log();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), "launchctl unload " + plist);
        EXPECT_EQ(lines.back(), "launchctl load -w " + plist);
        EXPECT_EQ(BundleVersions(install), "quoranees.app=es2 quoraneet.app=et2");
    }
}

TEST_F(InheritedStateTest, InstallDirectoryLinkSwitchedMeanwhileChangesNothingElsewhere) {
    // current -> blue, switched to green as the first unpack begins.
    const fs::path blue = dir / "blue", green = dir / "green", current = dir / "current";
    install = blue;
    Reset();
    fs::create_directories(green);
    MakeBundle(green, "quoranees.app", "green-es");
    MakeBundle(green, "quoraneet.app", "green-et");
    fs::create_symlink(blue, current);
    const auto greenBefore = Snapshot(green);
    Tool("unzip",
         "if [ ! -e \"$QUORANE_TEST_LOG.switched\" ]; then\n"
         "  ln -sfn \"$QUORANE_SWITCH_TO\" \"$QUORANE_SWITCH_LINK\"\n"
         "  touch \"$QUORANE_TEST_LOG.switched\"\n"
         "fi\n"
         "exec " +
             UnzipPath() + " \"$@\"\n");
    Launch launch;
    launch.environment = {"QUORANE_SWITCH_LINK=" + current.string(),
                          "QUORANE_SWITCH_TO=" + green.string()};

    EXPECT_EQ(RunGuarded({current.string(), "es.zip", "et.zip"}, launch), 0);
    ASSERT_TRUE(fs::exists(dir / "log.switched")) << "the link was never switched";
    EXPECT_EQ(Snapshot(green), greenBefore);
    ExpectNewBundles();
}

TEST_F(InheritedStateTest, ArchiveNamingTheBackupsNeverReachesTheOldBundles) {
    // Entries under backup names, for every number or all but the last, and
    // no bundle: the update cannot succeed, and the old bundles must come back
    // exactly as they were.
    for (const int named : {1000, 999}) {
        SCOPED_TRACE(std::to_string(named) + " backup numbers named");
        Reset();
        fs::remove(install / "es.zip");
        TempDir staging;
        for (int n = 0; n < named; ++n) {
            const fs::path entry = staging / ("quoranees.app." + std::to_string(n)) / "Contents" /
                                   "MacOS" / "quoranees";
            fs::create_directories(entry.parent_path());
            WriteFile(entry, "not the old bundle");
        }
        const updater::ProgramResult zipped =
            updater::RunProgram({"sh", "-c", "cd \"$1\" && zip -qr \"$2\" .", "sh", staging.str(),
                                 (install / "es.zip").string()});
        ASSERT_TRUE(zipped.Clean());
        const auto before = Snapshot(install);

        EXPECT_EQ(RunGuarded({install.string(), "es.zip", "et.zip"}), 0);
        EXPECT_EQ(Snapshot(install / "quoranees.app"), Within(before, "quoranees.app"));
        EXPECT_EQ(Snapshot(install / "quoraneet.app"), Within(before, "quoraneet.app"));
        if (named == 1000) {
            EXPECT_TRUE(Snapshot(install) == before) << "the swap was not skipped";
        }
        ASSERT_FALSE(Log().empty());
        EXPECT_EQ(Log().back(), kLoad);
    }
}

}  // namespace
}  // namespace quorane::test
