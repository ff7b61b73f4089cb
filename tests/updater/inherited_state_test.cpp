// The built updater started from the places it really is started from: by a
// daemon that ignores SIGCHLD or every signal it can, by an agent that no
// longer reads its output or its errors, from a terminal, in the background
// of a terminal that stops writers, by a service manager that signals its
// process group, with no HOME, and with an install directory whose name
// changes meaning during the run. Whatever it inherited, a valid update is
// installed, a bad one is rolled back, the agent is loaded again, and every
// program it starts begins from the state the updater chose.
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "UpdaterTestSupport.h"

namespace quorane::test {
namespace {

using namespace std::chrono_literals;

constexpr int kWatchdogSeconds = 60;

// What a program the updater started began with, as the stand-in that took
// its place noted it.
struct Note {
    std::string tool;
    unsigned long long ignored = 0;            // its ignored signals, bit n-1 for signal n
    unsigned long long updaterIgnored = 0;     // those of the updater that started it
    std::string output, error;                 // where its descriptors 1 and 2 lead
    unsigned outputFlags = 0, errorFlags = 0;  // and how they are open
};

unsigned long long Bit(int signal) { return 1ULL << (signal - 1); }

bool OpenForWriting(unsigned flags) { return (flags & O_ACCMODE) != O_RDONLY; }

// A pseudo-terminal whose output is read and thrown away for as long as it
// lives; while no process has it open, the drain waits.
class Terminal {
public:
    Terminal() : master_(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        path_ = ptsname(master_);
        drain_ = std::thread([this] {
            char buffer[256];
            while (!done_) {
                pollfd ready{master_, POLLIN, 0};
                if (poll(&ready, 1, 100) > 0 && read(master_, buffer, sizeof buffer) <= 0)
                    std::this_thread::sleep_for(10ms);
            }
        });
    }
    ~Terminal() {
        done_ = true;
        if (drain_.joinable()) drain_.join();
        if (master_ >= 0) close(master_);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // The terminal's device; empty when none could be had.
    const fs::path& path() const { return path_; }

private:
    int master_;
    fs::path path_;
    std::atomic<bool> done_{false};
    std::thread drain_;
};

class InheritedStateTest : public UpdaterSandbox {
protected:
    void Reset() {
        fs::remove(dir / "log");
        fs::remove(dir / "notes");
        MakeSampleInstall(install);
    }

    // Runs under the watchdog, in a group of its own, with `standardError`
    // as its standard error when given; a run that hangs is cut off with
    // everything it started. Its exit status, or -1 when it did not exit by
    // itself.
    int RunGuarded(const std::vector<std::string>& args, Launch launch = {},
                   std::optional<int> standardError = std::nullopt) {
        launch.ownProcessGroup = true;
        if (!standardError) return Guard(Start(args, launch));
        // The run gets it the way it would get this process's own.
        const int saved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
        if (saved < 0 || dup2(*standardError, STDERR_FILENO) < 0) return -1;
        const pid_t run = Start(args, launch);
        dup2(saved, STDERR_FILENO);
        close(saved);
        return Guard(run);
    }

    // Waits for `run` under the watchdog: its exit status, or -1.
    int Guard(pid_t run) {
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
        EXPECT_EQ(BundleVersions(install), kNewVersions);
        EXPECT_EQ(EntryCount(install), 2);
        ExpectLoadedLast(Log());
    }

    // Stand-ins for launchctl, killall and unzip that note, in dir/notes, the
    // ignored signals of their own process and of the updater (their nearest
    // ancestor of that name) and their standard output and error; launchctl
    // and killall log their command as usual, unzip then runs the real one.
    void NoteWhatProgramsStartWith() {
        const std::string note =
            "p=$$\n"
            "while [ \"$p\" -gt 1 ] && [ \"$(cat /proc/$p/comm)\" != quorane-update ]; do\n"
            "  p=$(sed 's/.*) //' /proc/$p/stat | cut -d' ' -f2)\n"
            "done\n"
            "field() { sed -n \"s/^$1:[[:space:]]*//p\" \"$2\"; }\n"
            "echo $0 $(field SigIgn /proc/$$/status) $(field SigIgn /proc/$p/status)"
            " $(readlink /proc/$$/fd/1 || echo closed) $(field flags /proc/$$/fdinfo/1)"
            " $(readlink /proc/$$/fd/2 || echo closed) $(field flags /proc/$$/fdinfo/2)"
            " >> '" +
            (dir / "notes").string() + "'\n";
        const std::string log = " >> '" + (dir / "log").string() + "'\n";
        Tool("launchctl", note + "echo \"launchctl $*\"" + log);
        Tool("killall", note + "echo \"killall $*\"" + log);
        Tool("unzip", note + "exec " + UnzipPath() + " \"$@\"\n");
    }

    // The notes, one per program started: the unload and the load, each
    // unpack, and whole kill sequences must each have left one.
    std::vector<Note> Notes() {
        std::vector<Note> notes;
        std::map<std::string, int> runs;
        std::istringstream lines(ReadFile(dir / "notes"));
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            Note note;
            std::string ignored, updaterIgnored, outputFlags, errorFlags;
            if (!(fields >> note.tool >> ignored >> updaterIgnored >> note.output >> outputFlags >>
                  note.error >> errorFlags)) {
                ADD_FAILURE() << "unreadable note: " << line;
                continue;
            }
            note.tool = fs::path(note.tool).filename().string();
            note.ignored = std::stoull(ignored, nullptr, 16);
            note.updaterIgnored = std::stoull(updaterIgnored, nullptr, 16);
            note.outputFlags = static_cast<unsigned>(std::stoul(outputFlags, nullptr, 8));
            note.errorFlags = static_cast<unsigned>(std::stoul(errorFlags, nullptr, 8));
            ++runs[note.tool];
            notes.push_back(note);
        }
        EXPECT_EQ(runs["launchctl"], 2);
        EXPECT_EQ(runs["unzip"], 2);
        EXPECT_TRUE(runs["killall"] > 0 && runs["killall"] % 4 == 0) << runs["killall"];
        return notes;
    }
};

TEST_F(InheritedStateTest, ProgramsStartWithEveryDispositionAtItsDefaultButSigpipe) {
    // A daemon that reaps by ignoring SIGCHLD passes that on through exec,
    // and a careless one every signal it can ignore, real-time ones included.
    // Whatever the run inherited, every program it starts ignores SIGPIPE and
    // nothing else, and the unpacks are seen to their ends.
    std::vector<int> everything;
    for (int signal = 1; signal <= SIGRTMAX; ++signal) everything.push_back(signal);
    const std::pair<std::string, std::vector<int>> cases[] = {{"SIGCHLD", {SIGCHLD}},
                                                              {"every signal", everything}};
    NoteWhatProgramsStartWith();
    for (const auto& [name, ignored] : cases) {
        SCOPED_TRACE(name + " ignored");
        Reset();
        Launch launch;
        launch.ignoredSignals = ignored;
        EXPECT_EQ(RunGuarded({install.string(), "es.zip", "et.zip"}, launch), 0);
        ExpectNewBundles();
        for (const Note& note : Notes()) {
            SCOPED_TRACE(note.tool);
            EXPECT_EQ(note.ignored, Bit(SIGPIPE)) << std::hex << note.ignored;
            if (ignored.size() > 1) {
                for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
                    ASSERT_NE(note.updaterIgnored & Bit(signal), 0u)
                        << "the run was not started with signal " << signal << " ignored";
            }
        }
    }
}

TEST_F(InheritedStateTest, EachOutputStreamIsJudgedOnItsOwnForEveryProgram) {
    // One of the run's standard output and error cannot be written, the other
    // is a file: every program gets /dev/null, open for writing, in place of
    // the one and the file itself in place of the other. A read-only file
    // stays as it was.
    const fs::path readOnly = dir / "read-only";
    struct Broken {
        std::string name;
        std::function<int()> open;
    };
    const std::vector<Broken> brokens = {
        {"pipe whose reader is gone",
         [] {
             int ends[2];
             if (pipe2(ends, O_CLOEXEC) != 0) return -1;
             close(ends[0]);
             return ends[1];
         }},
        {"device that refuses writes", [] { return open("/dev/full", O_WRONLY | O_CLOEXEC); }},
        {"/dev/null open for reading only", [] { return open("/dev/null", O_RDONLY | O_CLOEXEC); }},
        {"regular file open for reading only",
         [&] { return open(readOnly.c_str(), O_RDONLY | O_CLOEXEC); }},
    };
    NoteWhatProgramsStartWith();
    for (const int brokenStream : {STDOUT_FILENO, STDERR_FILENO}) {
        for (const Broken& broken : brokens) {
            SCOPED_TRACE(broken.name + " as " + (brokenStream == 1 ? "output" : "error"));
            Reset();
            WriteFile(readOnly, "kept as it is\n");
            const fs::path file = dir / "written";
            WriteFile(file, "");
            const int brokenFd = broken.open();
            const int fileFd = open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            ASSERT_GE(brokenFd, 0);
            ASSERT_GE(fileFd, 0);
            const bool outputBroken = brokenStream == STDOUT_FILENO;
            Launch launch;
            launch.standardOutput = outputBroken ? brokenFd : fileFd;
            const int status = RunGuarded({install.string(), "es.zip", "et.zip"}, launch,
                                          outputBroken ? fileFd : brokenFd);
            close(brokenFd);
            close(fileFd);

            EXPECT_EQ(status, 0);
            ExpectNewBundles();
            EXPECT_EQ(ReadFile(readOnly), "kept as it is\n");
            const std::string written = fs::canonical(file).string();
            for (const Note& note : Notes()) {
                SCOPED_TRACE(note.tool);
                EXPECT_EQ(note.output, outputBroken ? "/dev/null" : written);
                EXPECT_EQ(note.error, outputBroken ? written : "/dev/null");
                EXPECT_TRUE(OpenForWriting(note.outputFlags)) << std::oct << note.outputFlags;
                EXPECT_TRUE(OpenForWriting(note.errorFlags)) << std::oct << note.errorFlags;
            }
        }
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
    EXPECT_EQ(BundleVersions(install), kNewVersions);
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
    const auto old = BundleSnapshots(install);

    int status = -1;
    {
        const Terminal terminal;
        ASSERT_FALSE(terminal.path().empty());
        Launch launch;
        launch.terminal = terminal.path();
        status = RunGuarded({install.string(), "both.zip", "both.zip"}, launch);
    }

    EXPECT_EQ(status, 0);
    EXPECT_EQ(BundleSnapshots(install), old);
    EXPECT_FALSE(fs::exists(install / "both.zip"));
    ExpectLoadedLast(Log());
}

TEST_F(InheritedStateTest, BackgroundRunOnATerminalThatStopsWritersNeitherStopsNorWrites) {
    // Every standard stream of the run is a terminal with TOSTOP set, and the
    // run is in a background process group of that terminal's session: a
    // write of its own to that terminal, even one of nothing, would stop it.
    // The session's leader reports a stop as kStopped.
    constexpr int kStopped = 98, kNoSetUp = 99;
    Reset();
    const Terminal terminal;
    ASSERT_FALSE(terminal.path().empty());
    const pid_t leader = fork();
    if (leader == 0) {
        const int tty = setsid() < 0 ? -1 : open(terminal.path().c_str(), O_RDWR | O_CLOEXEC);
        termios settings{};
        if (tty < 0 || tcgetattr(tty, &settings) != 0) EndChild(kNoSetUp);
        settings.c_lflag |= TOSTOP;
        if (tcsetattr(tty, TCSANOW, &settings) != 0 || dup2(tty, STDERR_FILENO) < 0)
            EndChild(kNoSetUp);
        Launch launch;
        launch.ownProcessGroup = true;
        launch.standardInput = tty;
        launch.standardOutput = tty;
        const pid_t run = Start({install.string(), "es.zip", "et.zip"}, launch);
        // The run's group is not the terminal's foreground group, which is
        // the leader's.
        setpgid(run, run);
        if (getpgid(run) != run || tcgetpgrp(tty) != getpgrp()) EndChild(kNoSetUp);
        int status = 0;
        while (waitpid(run, &status, WUNTRACED) != run) {
            if (errno != EINTR) EndChild(kNoSetUp);
        }
        if (WIFSTOPPED(status)) {
            kill(run, SIGKILL);
            waitpid(run, &status, 0);
            EndChild(kStopped);
        }
        EndChild(WIFEXITED(status) ? WEXITSTATUS(status) : kStopped);
    }
    ASSERT_GT(leader, 0);
    const int status = Guard(leader);
    ASSERT_NE(status, kNoSetUp) << "no background group of a terminal's session could be made";
    EXPECT_EQ(status, 0) << (status == kStopped ? "the run was stopped" : "");
    ExpectNewBundles();
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
        EXPECT_EQ(BundleVersions(install), kNewVersions);
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
        const auto old = BundleSnapshots(install);

        EXPECT_EQ(RunGuarded({install.string(), "es.zip", "et.zip"}), 0);
        EXPECT_EQ(BundleSnapshots(install), old);
        if (named == 1000) {
            EXPECT_TRUE(Snapshot(install) == before) << "the swap was not skipped";
        }
        ExpectLoadedLast(Log());
    }
}

}  // namespace
}  // namespace quorane::test
