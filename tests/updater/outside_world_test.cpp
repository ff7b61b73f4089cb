// What the programs the updater starts begin with and how their endings are
// read, through real programs: their session, signal dispositions, working
// directory and standard descriptors; and the built updater's own standard
// descriptors and install-directory lock.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "OutsideWorld.h"
#include "UpdaterTestSupport.h"

namespace quorane::test {
namespace {

using namespace std::chrono_literals;
using updater::ProgramResult;
using updater::RunProgram;

// Runs a shell script as a program the updater starts, its standard output
// in a file; that output.
std::string OutputOf(const std::string& script, const updater::ProgramSetup& setup = {}) {
    TempDir out;
    const ProgramResult result =
        RunProgram({"sh", "-c", script + " > \"$0\"", (out / "output").string()}, setup);
    EXPECT_TRUE(result.Clean()) << script;
    return ReadFile(out / "output");
}

TEST(RunProgram, ReadsHowARealProgramEnded) {
    struct Case {
        std::vector<std::string> argv;
        ProgramResult::Ending ending;
        int code;
        bool clean;
    };
    const std::vector<Case> cases = {
        {{"sh", "-c", "exit 0"}, ProgramResult::Ending::Exited, 0, true},
        {{"sh", "-c", "exit 1"}, ProgramResult::Ending::Exited, 1, true},
        {{"sh", "-c", "exit 2"}, ProgramResult::Ending::Exited, 2, false},
        {{"sh", "-c", "exit 82"}, ProgramResult::Ending::Exited, 82, false},
        {{"sh", "-c", "kill -TERM $$"}, ProgramResult::Ending::Signalled, SIGTERM, false},
        {{"sh", "-c", "kill -KILL $$"}, ProgramResult::Ending::Signalled, SIGKILL, false},
        {{"no-such-program-anywhere"}, ProgramResult::Ending::NotStarted, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.argv));
        const ProgramResult result = RunProgram(c.argv);
        EXPECT_EQ(result.ending, c.ending);
        EXPECT_EQ(result.code, c.code);
        EXPECT_EQ(result.Clean(), c.clean);
    }
    EXPECT_EQ(RunProgram({}).ending, ProgramResult::Ending::NotStarted);
}

TEST(RunProgram, ProgramsStartInASessionOfTheirOwnWithDefaultDispositions) {
    // In a process that inherited these ignored, as from a daemon, and set
    // itself up as the updater does; SIGPIPE is the one a program keeps
    // ignored. The program notes its session and ignored signals (1 to 31).
    const std::optional<std::string> seen = RunInChild([] {
        for (int signal : {SIGCHLD, SIGHUP, SIGTERM, SIGUSR1}) ::signal(signal, SIG_IGN);
        updater::StartFromKnownState();
        TempDir out;
        const ProgramResult result = RunProgram(
            {"sh", "-c",
             "echo $(ps -o sid= -p $$) $(sed -n 's/^SigIgn:[[:space:]]*//p' /proc/$$/status) "
             "> \"$0\"",
             (out / "output").string()});
        return result.Clean() ? std::to_string(getsid(0)) + " " + ReadFile(out / "output")
                              : std::string("not clean");
    });
    ASSERT_TRUE(seen);
    std::istringstream fields(*seen);
    long ours = 0, session = 0;
    std::string ignored;
    ASSERT_TRUE(fields >> ours >> session >> ignored) << *seen;
    EXPECT_NE(session, ours);
    EXPECT_EQ(std::stoul(ignored, nullptr, 16) & 0x7fffffffUL, 1UL << (SIGPIPE - 1));
}

TEST(RunProgram, WorkingDirectoryIsTheOneGivenByItsDescriptor) {
    TempDir where;
    const int directory = open(where.str().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(directory, 0);
    updater::ProgramSetup setup;
    setup.workingDirectory = directory;
    // Renamed after it was opened: the program starts in it all the same.
    const fs::path moved = where.path().string() + "-moved";
    fs::rename(where.path(), moved);
    EXPECT_EQ(OutputOf("pwd -P", setup), fs::canonical(moved).string() + "\n");
    fs::rename(moved, where.path());
    close(directory);
}

TEST(RunCommand, RunsTheFoundToolInTheRootDirectoryWithTheChosenEnvironment) {
    // The tool notes where it starts, its arguments and its environment.
    TempDir dir;
    const fs::path tool = dir / "launchctl";
    WriteFile(tool,
              "#!/bin/sh\npwd -P > \"$0.out\"\necho \"$@\" >> \"$0.out\"\nenv >> \"$0.out\"\n");
    fs::permissions(tool, fs::perms(0755));
    updater::Tools tools;
    tools.launchctl = tool.string();
    tools.searchPath = "/usr/bin:/bin";
    setenv("UNZIP", "-:", 1);
    const updater::ChildEnvironment environment(tools, false);
    unsetenv("UNZIP");

    const updater::ProgramResult ran =
        updater::RunCommand("launchctl load ~/a/~/b", tools, environment);
    EXPECT_TRUE(ran.Clean());
    std::istringstream lines(ReadFile(dir / "launchctl.out"));
    std::string cwd, args;
    std::getline(lines, cwd);
    std::getline(lines, args);
    EXPECT_EQ(cwd, "/");
    EXPECT_EQ(args, "load " + updater::HomeDirectory() + "/a/~/b");
    const std::string rest = "\n" + std::string(std::istreambuf_iterator<char>(lines), {});
    EXPECT_NE(rest.find("\nPATH=/usr/bin:/bin\n"), std::string::npos) << rest;
    EXPECT_EQ(rest.find("UNZIP="), std::string::npos) << rest;

    // A user with neither HOME nor an entry in the user database: "~" stays
    // as it is rather than naming the root directory's own Library.
    if (geteuid() == 0) {
        fs::permissions(dir.path(), fs::perms(0777));
        fs::remove(dir / "launchctl.out");
        const std::optional<std::string> seen = RunInChild([&] {
            unsetenv("HOME");
            if (setgid(54321) != 0 || setuid(54321) != 0) return std::string("!setuid");
            (void)updater::RunCommand("launchctl load ~/a", tools, environment);
            std::istringstream out(ReadFile(dir / "launchctl.out"));
            std::string line;
            std::getline(out, line);
            std::getline(out, line);
            return line;
        });
        EXPECT_EQ(seen, std::optional<std::string>("load ~/a"));
    }

    // A tool that was not found is never looked for elsewhere.
    EXPECT_EQ(updater::RunCommand("killall x", tools, environment).ending,
              updater::ProgramResult::Ending::NotFound);
}

// The built updater, with stand-ins that note the standard descriptors they
// start with and those of the updater that started them.
class StandardDescriptorsTest : public UpdaterSandbox {
protected:
    void SetUp() override {
        UpdaterSandbox::SetUp();
        // The updater is the nearest ancestor named quorane-update.
        const std::string note =
            "p=$$\n"
            "while [ \"$p\" -gt 1 ] && [ \"$(cat /proc/$p/comm)\" != quorane-update ]; do\n"
            "  p=$(sed 's/.*) //' /proc/$p/stat | cut -d' ' -f2)\n"
            "done\n"
            "for fd in 0 1 2; do\n"
            "  echo \"$TOOL $fd $(readlink /proc/$$/fd/$fd || echo closed)"
            " $(readlink /proc/$p/fd/$fd || echo closed)\" >> \"$QUORANE_TEST_LOG.fds\"\n"
            "done\n";
        Tool("launchctl", "TOOL=launchctl\n" + note);
        Tool("unzip", "TOOL=unzip\n" + note + "exec /usr/bin/unzip \"$@\"\n");
    }
};

TEST_F(StandardDescriptorsTest, ClosedStandardDescriptorsAreOpenedOnDevNullForEveryProgram) {
    const std::vector<std::vector<int>> closings = {{0}, {1}, {2}, {0, 1}, {1, 2}, {0, 1, 2}};
    for (const std::vector<int>& closed : closings) {
        SCOPED_TRACE(testing::PrintToString(closed));
        fs::remove_all(install);
        fs::create_directories(install);
        fs::remove(dir / "log.fds");
        MakeOldBundles(install);
        MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});
        Launch launch;
        launch.closedDescriptors = closed;
        EXPECT_EQ(Run({install.string(), "es.zip", "es.zip"}, launch), 0);
        EXPECT_EQ(BundleVersions(install), kNewVersions);

        const std::string noted = ReadFile(dir / "log.fds");
        // The unload, two unpacks and the load each noted three descriptors.
        EXPECT_EQ(std::count(noted.begin(), noted.end(), '\n'), 4 * 3) << noted;
        std::istringstream lines(noted);
        int seen = 0;
        for (std::string tool, child, updater; lines >> tool >> seen >> child >> updater;) {
            SCOPED_TRACE(tool + " descriptor " + std::to_string(seen));
            const bool wasClosed = std::find(closed.begin(), closed.end(), seen) != closed.end();
            if (wasClosed) {
                EXPECT_EQ(updater, "/dev/null");
            }
            if (seen == 0 || wasClosed) {
                EXPECT_EQ(child, "/dev/null");
            } else {
                EXPECT_EQ(child, updater);  // the updater's own stream, passed on
            }
        }
    }
}

// A run waits for whoever holds a lock on the install directory, even a
// shared one: the test holds one and looks at the kernel's list of waiting
// locks.
TEST_F(StandardDescriptorsTest, RunWaitsWhileAnyoneElseHoldsTheInstallDirectoryLock) {
    MakeOldBundles(install);
    MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});
    const int held = open(install.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_SH), 0);

    Launch launch;
    launch.ownProcessGroup = true;
    const pid_t run = Start({install.string(), "es.zip", "es.zip"}, launch);
    // Until the run is seen waiting for the lock, or has begun without it.
    const std::string waiting = " " + std::to_string(run) + " ";
    bool seenWaiting = false, begun = false;
    for (int tick = 0; tick < 6000 && !seenWaiting && !begun; ++tick) {
        std::istringstream locks(ReadFile("/proc/locks"));
        for (std::string line; std::getline(locks, line);) {
            if (line.find("->") != std::string::npos && line.find(waiting) != std::string::npos)
                seenWaiting = true;
        }
        begun = !Log().empty();
        if (!seenWaiting && !begun) std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(seenWaiting) << "the run never waited for the lock";
    EXPECT_FALSE(begun) << "the run stopped the agent while another held the lock";
    EXPECT_TRUE(Log().empty());

    flock(held, LOCK_UN);
    close(held);
    const std::optional<int> status = FinishWithin(run, 60);
    ASSERT_TRUE(status) << "the run hung";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    EXPECT_EQ(BundleVersions(install), kNewVersions);
}

}  // namespace
}  // namespace quorane::test
