// Helpers shared by the updater tests: sample bundles and zip archives,
// snapshots of a directory tree, stand-in agent processes, and a sandbox that
// runs the built updater with stand-in launchctl and killall.
#ifndef QUORANE_TESTS_UPDATER_TEST_SUPPORT_H
#define QUORANE_TESTS_UPDATER_TEST_SUPPORT_H

#include <fcntl.h>
#include <grp.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "OutsideWorld.h"
#include "TestSupport.h"
#include "platform/ProcessStat.h"

namespace quorane::test {

// Files by path relative to a bundle, and their content.
using BundleFiles = std::map<std::string, std::string>;

// A bundle directory holding Contents/version.txt with the given text, and
// any further files.
inline void MakeBundle(const fs::path& dir, const std::string& name, const std::string& version,
                       const BundleFiles& more = {}) {
    fs::create_directories(dir / name / "Contents" / "MacOS");
    WriteFile(dir / name / "Contents" / "version.txt", version);
    WriteFile(dir / name / "Contents" / "MacOS" / "agent", "binary " + version);
    for (const auto& [relative, content] : more) {
        fs::create_directories((dir / name / relative).parent_path());
        WriteFile(dir / name / relative, content);
    }
}

// Both old bundles (versions es1 and et1) in `dir`.
inline void MakeOldBundles(const fs::path& dir) {
    MakeBundle(dir, "quoranees.app", "es1");
    MakeBundle(dir, "quoraneet.app", "et1");
}

// A zip archive at `archive` holding a fresh bundle for each name, carrying
// the given version text and any further files.
inline void MakeArchive(const fs::path& archive,
                        const std::vector<std::pair<std::string, std::string>>& bundles,
                        const BundleFiles& more = {}) {
    TempDir staging;
    std::vector<std::string> argv = {
        "sh", "-c",          "cd \"$1\" && shift && exec zip -qr \"$@\"",
        "sh", staging.str(), (staging / "archive.zip").string()};
    for (const auto& [name, version] : bundles) {
        MakeBundle(staging.path(), name, version, more);
        argv.push_back(name);
    }
    const updater::ProgramResult made = updater::RunProgram(argv);
    if (made.ending != updater::ProgramResult::Ending::Exited || made.code != 0) std::abort();
    fs::copy_file(staging / "archive.zip", archive, fs::copy_option::overwrite_if_exists);
}

// Damages the archive's last local file header, so that unzip unpacks the
// entries before it and then fails (exit status 2).
inline void DamageLastEntry(const fs::path& archive) {
    std::string bytes = ReadFile(archive);
    const std::string::size_type last = bytes.rfind(std::string("PK\x03\x04", 4));
    if (last == std::string::npos) std::abort();
    bytes.replace(last, 4, "XXXX");
    WriteFile(archive, bytes);
}

// Hands `path` and everything below it to the unprivileged user (needs root).
inline void GiveAway(const fs::path& path) {
    for (fs::recursive_directory_iterator it(path), end; it != end; ++it)
        ASSERT_EQ(lchown(it->path().c_str(), kUnprivilegedId, kUnprivilegedId), 0);
    ASSERT_EQ(lchown(path.c_str(), kUnprivilegedId, kUnprivilegedId), 0);
}

// Every entry below `root`, by relative path: "dir/", "-> target" for a
// symbolic link, the file's content, or "special" for a FIFO, socket or device
// (never opened).
inline std::map<std::string, std::string> Snapshot(const fs::path& root) {
    std::map<std::string, std::string> entries;
    boost::system::error_code ec;
    if (!fs::exists(fs::symlink_status(root, ec))) return entries;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
        // Lexically: a link is named where it is, not where it leads.
        const std::string relative = it->path().lexically_relative(root).string();
        const fs::file_status status = it->symlink_status();
        if (fs::is_symlink(status))
            entries[relative] = "-> " + fs::read_symlink(it->path()).string();
        else if (fs::is_directory(status))
            entries[relative] = "dir/";
        else if (fs::is_regular_file(status))
            entries[relative] = ReadFile(it->path());
        else
            entries[relative] = "special";
    }
    return entries;
}

// What unzip prints when run by hand on copies of the archives es.zip and
// et.zip of `install`, made in `work`: from that directory, et.zip first, as
// the updater runs it. Nothing when that run fails.
inline std::optional<std::string> UnzipLinesByHand(const fs::path& install, const fs::path& work) {
    const fs::path byHand = work / "by-hand";
    fs::create_directories(byHand);
    fs::copy_file(install / "es.zip", byHand / "es.zip");
    fs::copy_file(install / "et.zip", byHand / "et.zip");
    const fs::path expected = work / "expected";
    const std::string script =
        "cd \"$1\" && { unzip -o /dev/fd/3 -d . 3<et.zip; unzip -o /dev/fd/3 -d . 3<es.zip; } "
        ">\"$2\"";
    const updater::ProgramResult made =
        updater::RunProgram({"sh", "-c", script, "sh", byHand.string(), expected.string()});
    if (!made.Clean()) return std::nullopt;
    return ReadFile(expected);
}

// The version texts of both bundles in `dir` ("-" for a missing one).
inline std::string BundleVersions(const fs::path& dir) {
    std::string versions;
    for (const char* name : {"quoranees.app", "quoraneet.app"}) {
        const fs::path file = dir / name / "Contents" / "version.txt";
        versions += (versions.empty() ? "" : " ") + std::string(name) + "=" +
                    (fs::exists(file) ? ReadFile(file) : "-");
    }
    return versions;
}

// A harmless stand-in for an agent process: a copy of `sleep` under the
// agent's name, started by the test and ended only by its PID.
class FakeAgent {
public:
    FakeAgent(const fs::path& dir, const std::string& name) {
        fs::create_directories(dir);
        const fs::path program = dir / name;
        fs::copy_file("/bin/sleep", program, fs::copy_option::overwrite_if_exists);
        fs::permissions(program, fs::perms(0755));
        std::string programText = program.string(), seconds = "300";
        char* argv[] = {programText.data(), seconds.data(), nullptr};
        if (posix_spawn(&pid_, programText.c_str(), nullptr, nullptr, argv, environ) != 0)
            std::abort();
    }
    ~FakeAgent() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            Reap();
        }
    }
    FakeAgent(const FakeAgent&) = delete;
    FakeAgent& operator=(const FakeAgent&) = delete;

    pid_t pid() const { return pid_; }

    // Waits for the process to end; true when a signal ended it.
    bool Reap() {
        int status = 0;
        const bool reaped = waitpid(pid_, &status, 0) == pid_;
        pid_ = -1;
        return reaped && WIFSIGNALED(status);
    }

    // The process state letter from /proc (R, S, Z, ...), or '?' when gone.
    char State() const {
        const auto stat =
            platform::ParseProcessStat(ReadFile("/proc/" + std::to_string(pid_) + "/stat"));
        return stat ? stat->state : '?';
    }

private:
    pid_t pid_ = -1;
};

// The processes descended from `pid`, found through /proc by their parents;
// the programs the updater starts run in sessions of their own, so they are
// no members of its process group.
inline std::vector<pid_t> Descendants(pid_t pid) {
    std::multimap<pid_t, pid_t> children;
    for (fs::directory_iterator it("/proc"), end; it != end; ++it) {
        const std::string name = it->path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const auto stat = platform::ParseProcessStat(ReadFile(it->path() / "stat"));
        if (stat) children.emplace(stat->parent, static_cast<pid_t>(std::stol(name)));
    }
    std::vector<pid_t> found;
    std::vector<pid_t> pending = {pid};
    while (!pending.empty()) {
        const pid_t parent = pending.back();
        pending.pop_back();
        for (auto [it, end] = children.equal_range(parent); it != end; ++it) {
            found.push_back(it->second);
            pending.push_back(it->second);
        }
    }
    return found;
}

// Whether the process is still running (neither gone nor a zombie).
inline bool Running(pid_t pid) {
    const auto stat =
        platform::ParseProcessStat(ReadFile("/proc/" + std::to_string(pid) + "/stat"));
    return stat && stat->state != 'Z' && stat->state != 'X';
}

// Ends the run and every program it started at one moment, as a power cut
// would: all are stopped first, then killed. The processes that were ended.
inline std::vector<pid_t> CutPower(pid_t run) {
    ::kill(run, SIGSTOP);
    std::vector<pid_t> ended = Descendants(run);
    for (const pid_t pid : ended) ::kill(pid, SIGSTOP);
    ended.push_back(run);
    for (const pid_t pid : ended) ::kill(pid, SIGKILL);
    return ended;
}

// Whether strace can trace a program here (it is installed and ptrace is
// allowed).
inline bool StraceWorks() {
    const updater::ProgramResult probe =
        updater::RunProgram({"strace", "-qq", "-o", "/dev/null", "true"});
    return probe.Clean() && probe.code == 0;
}

// The exit status of a run under SmallTmpfsWrapper when no tmpfs could be
// mounted, and when the sample install or the result could not be copied.
constexpr int kNoSmallTmpfs = 90;
constexpr int kSeedNotCopied = 91;
constexpr int kResultNotCopied = 92;

// A wrapper that runs the updater with `install` on a 1 MiB tmpfs, mounted in
// a mount namespace of the run's own and filled with a copy of `seed`; what
// the run leaves is copied to `after` before the namespace goes.
inline std::vector<std::string> SmallTmpfsWrapper(const fs::path& install, const fs::path& seed,
                                                  const fs::path& after) {
    const auto orExit = [](int status) { return " || exit " + std::to_string(status) + "\n"; };
    const std::string script = "mount -t tmpfs -o size=1m tmpfs \"$1\"" + orExit(kNoSmallTmpfs) +
                               "cp -a \"$2/.\" \"$1/\"" + orExit(kSeedNotCopied) +
                               "install=$1 after=$3\n"
                               "shift 3\n"
                               "\"$@\"\n"
                               "status=$?\n"
                               "mkdir -p \"$after\" && cp -a \"$install/.\" \"$after/\"" +
                               orExit(kResultNotCopied) + "exit $status\n";
    return {"unshare", "-m", "--propagation",  "private",     "sh",          "-c",
            script,    "sh", install.string(), seed.string(), after.string()};
}

const std::string kUnload =
    "launchctl unload HOME/Library/LaunchAgents/com.quorane.quoranees.plist";
const std::string kLoad = "launchctl load -w HOME/Library/LaunchAgents/com.quorane.quoranees.plist";
const std::vector<std::string> kKills = {"killall 9 quoraneet", "killall 9 quoranees",
                                         "killall -9 quoraneet", "killall -9 quoranees"};

// How the sandbox starts the updater.
struct Launch {
    bool ignoreKills = false;              // the stand-in killall signals nothing
    bool ownProcessGroup = false;          // the run and what it starts form a group of their own
    bool unprivileged = false;             // runs as kUnprivilegedId
    std::optional<int> blocked;            // a signal blocked in the mask the updater starts with
    std::vector<std::string> wrapper;      // runs the updater under this command (e.g. strace)
    std::vector<std::string> environment;  // further NAME=value settings
    std::optional<int> standardInput;      // a descriptor of the test's to read from
    std::vector<int> closedDescriptors;    // closed just before the updater starts
    bool deletedWorkingDirectory = false;  // starts in a directory removed meanwhile
    std::optional<fs::path> workingDirectory;  // starts in this directory
    std::vector<std::string> unset;            // environment variables removed
    std::vector<int> ignoredSignals;           // set to SIG_IGN before the updater starts
    std::optional<int> standardOutput;         // a descriptor of the test's to write to
    std::optional<fs::path> terminal;          // a pseudo-terminal's device, made the controlling
                                       // terminal of a new session and every standard stream
};

// A test directory with stand-in launchctl and killall first on PATH that
// record what they were asked in `log`; the stand-in killall signals only
// the PIDs of agents this test started. The updater runs with its output
// discarded and no core files.
class UpdaterSandbox : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(tools);
        fs::create_directories(home);
        fs::create_directories(pids);
        fs::create_directories(install);
        Tool("launchctl", "echo \"launchctl $*\" >> \"$QUORANE_TEST_LOG\"\n");
        // killall [-9] name...: TERM (or KILL with -9) to the PIDs the test
        // wrote under $QUORANE_TEST_PIDS/<name>, and to nothing else.
        Tool("killall",
             "echo \"killall $*\" >> \"$QUORANE_TEST_LOG\"\n"
             "[ -n \"$QUORANE_TEST_IGNORE_KILLS\" ] && exit 0\n"
             "signal=TERM\n"
             "if [ \"$1\" = -9 ]; then signal=KILL; shift; fi\n"
             "for name in \"$@\"; do\n"
             "  f=\"$QUORANE_TEST_PIDS/$name\"\n"
             "  [ -f \"$f\" ] && kill -s $signal $(cat \"$f\") 2>/dev/null\n"
             "done\n"
             "exit 0\n");
    }

    // An install directory holding only both old bundles, and no log: the
    // start of each row of a table.
    void FreshInstall() {
        fs::remove_all(install);
        fs::create_directories(install);
        fs::remove(dir / "log");
        MakeOldBundles(install);
    }

    void Tool(const std::string& name, const std::string& body) {
        WriteFile(tools / name, "#!/bin/sh\n" + body);
        fs::permissions(tools / name, fs::perms(0755));
    }

    // Starts the updater with these arguments and returns its PID.
    pid_t Start(const std::vector<std::string>& args, const Launch& launch = {}) {
        const pid_t pid = fork();
        if (pid != 0) return pid;

        setenv("PATH", (tools.string() + ":" + std::getenv("PATH")).c_str(), 1);
        setenv("HOME", home.c_str(), 1);
        setenv("QUORANE_TEST_LOG", (dir / "log").c_str(), 1);
        setenv("QUORANE_TEST_PIDS", pids.c_str(), 1);
        if (launch.ignoreKills) setenv("QUORANE_TEST_IGNORE_KILLS", "1", 1);
        for (const std::string& setting : launch.environment) putenv(strdup(setting.c_str()));
        for (const std::string& name : launch.unset) unsetenv(name.c_str());
        if (launch.workingDirectory && chdir(launch.workingDirectory->c_str()) != 0) _exit(122);
        if (launch.standardInput && dup2(*launch.standardInput, STDIN_FILENO) < 0) _exit(124);
        if (launch.deletedWorkingDirectory) {
            const std::string gone = (dir / "gone-cwd").string();
            if (mkdir(gone.c_str(), 0700) != 0 || chdir(gone.c_str()) != 0 ||
                rmdir(gone.c_str()) != 0)
                _exit(123);
        }
        // unzip's listing stays out of the test log.
        if (launch.standardOutput) {
            if (dup2(*launch.standardOutput, STDOUT_FILENO) < 0) _exit(126);
        } else if (freopen("/dev/null", "w", stdout) == nullptr) {
            _exit(126);
        }
        if (launch.terminal) {
            const int tty = setsid() < 0 ? -1 : open(launch.terminal->c_str(), O_RDWR);
            if (tty < 0 || dup2(tty, 0) < 0 || dup2(tty, 1) < 0 || dup2(tty, 2) < 0) _exit(121);
        }
        for (int signal : launch.ignoredSignals) ::signal(signal, SIG_IGN);
        const rlimit noCore = {0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        if (launch.ownProcessGroup) setpgid(0, 0);
        sigset_t mask;
        sigemptyset(&mask);
        if (launch.blocked) sigaddset(&mask, *launch.blocked);
        sigprocmask(SIG_SETMASK, &mask, nullptr);
        if (launch.unprivileged && !DropPrivileges()) _exit(125);

        std::vector<std::string> command = launch.wrapper;
        command.emplace_back(QUORANE_UPDATE_BINARY);
        command.insert(command.end(), args.begin(), args.end());
        std::vector<char*> argv;
        argv.reserve(command.size() + 1);
        for (std::string& arg : command) argv.push_back(arg.data());
        argv.push_back(nullptr);
        for (int fd : launch.closedDescriptors) close(fd);
        execvp(argv[0], argv.data());
        _exit(127);
    }

    // Starts the run in a process group of its own and waits for it, at most
    // `watchdogSeconds`; its exit status, or -1 when it did not exit by itself.
    int RunGuarded(const std::vector<std::string>& args, Launch launch = {}) {
        launch.ownProcessGroup = true;
        const std::optional<int> status = FinishWithin(Start(args, launch), watchdogSeconds);
        EXPECT_TRUE(status) << "the run hung and was killed";
        return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    }

    // Waits up to `seconds` for a run started in its own process group; one
    // that is still going then is killed with its group. The wait status, or
    // nothing when the run had to be killed.
    static std::optional<int> FinishWithin(pid_t pid, int seconds) {
        for (int tick = 0; tick < seconds * 20; ++tick) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) return status;
            usleep(50000);
        }
        kill(-pid, SIGKILL);
        Finish(pid);
        return std::nullopt;
    }

    // Waits for a run and returns its wait status.
    static int Finish(pid_t pid) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR) return -1;
        }
        return status;
    }

    // Runs the updater with these arguments; returns its exit status, or -1
    // when it did not exit.
    int Run(const std::vector<std::string>& args, const Launch& launch = {}) {
        const int status = Finish(Start(args, launch));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // The recorded commands, with the home directory written as HOME.
    std::vector<std::string> Log() {
        std::vector<std::string> lines;
        std::istringstream in(ReadFile(dir / "log"));
        for (std::string line; std::getline(in, line);) {
            const std::string::size_type at = line.find(home.string());
            if (at != std::string::npos) line.replace(at, home.string().size(), "HOME");
            lines.push_back(line);
        }
        return lines;
    }

    std::vector<std::string> Expected(int killSequences) {
        std::vector<std::string> lines = {kUnload};
        for (int i = 0; i < killSequences; ++i)
            lines.insert(lines.end(), kKills.begin(), kKills.end());
        lines.push_back(kLoad);
        return lines;
    }

    // Whether runs can be made as another user who may run the binary; when
    // they can, opens the test directory and log to that user.
    bool Unprivileged() {
        if (geteuid() != 0) return false;  // handing files to another user needs root
        const auto canRun = RunUnprivileged(
            [] { return geteuid() != 0 && access(QUORANE_UPDATE_BINARY, X_OK) == 0 ? 0 : 1; });
        if (!canRun || *canRun != 0) return false;
        fs::permissions(dir.path(), fs::perms(0755));
        WriteFile(dir / "log", "");
        fs::permissions(dir / "log", fs::perms(0666));
        return true;
    }

    // Starts a stand-in agent the stand-in killall may signal.
    FakeAgent& StartAgent(const std::string& name) {
        agents.push_back(std::make_unique<FakeAgent>(dir / "agents", name));
        WriteFile(pids / name, std::to_string(agents.back()->pid()));
        return *agents.back();
    }

    TempDir dir;
    fs::path tools = dir / "tools", home = dir / "home", pids = dir / "pids";
    fs::path install = dir / "install";
    int watchdogSeconds = 60;  // how long RunGuarded lets a run go before killing it
    std::vector<std::unique_ptr<FakeAgent>> agents;
};

// The real unzip, for stand-ins that wrap it.
inline std::string UnzipPath() {
    for (const char* candidate : {"/usr/bin/unzip", "/bin/unzip"})
        if (access(candidate, X_OK) == 0) return candidate;
    return "unzip";
}

// The version texts BundleVersions reads from the sample old and new bundles.
const std::string kOldVersions = "quoranees.app=es1 quoraneet.app=et1";
const std::string kNewVersions = "quoranees.app=es2 quoraneet.app=et2";

// The number of entries directly in `dir`.
inline std::ptrdiff_t EntryCount(const fs::path& dir) {
    return std::distance(fs::directory_iterator(dir), fs::directory_iterator());
}

// A fresh sample install in `dir`, whatever was there before: both old
// bundles, and es.zip and et.zip holding one new bundle each.
inline void MakeSampleInstall(const fs::path& dir) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    MakeOldBundles(dir);
    MakeArchive(dir / "es.zip", {{"quoranees.app", "es2"}});
    MakeArchive(dir / "et.zip", {{"quoraneet.app", "et2"}});
}

// Snapshots of both bundles in `dir`, by bundle name.
inline std::map<std::string, std::map<std::string, std::string>> BundleSnapshots(
    const fs::path& dir) {
    return {{"quoranees.app", Snapshot(dir / "quoranees.app")},
            {"quoraneet.app", Snapshot(dir / "quoraneet.app")}};
}

// "quoranees.app.17" is a backup name of "quoranees.app".
inline bool IsBackupNameOf(const std::string& name, const std::string& bundle) {
    if (name.size() <= bundle.size() + 1 || name.compare(0, bundle.size() + 1, bundle + ".") != 0)
        return false;
    return name.find_first_not_of("0123456789", bundle.size() + 1) == std::string::npos;
}

// Whether `name` is a backup name of either bundle.
inline bool IsAnyBackupName(const std::string& name) {
    return IsBackupNameOf(name, "quoranees.app") || IsBackupNameOf(name, "quoraneet.app");
}

// The environment of a run with the race shim preloaded into the updater,
// doing what `settings` ask of it; a sanitized updater accepts a library
// preloaded before its runtime.
inline std::vector<std::string> RaceShimEnvironment(std::vector<std::string> settings = {}) {
    settings.insert(settings.begin(), {"LD_PRELOAD=" QUORANE_RACE_SHIM,
                                       "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"});
    return settings;
}

// The agent was loaded again, as the last command of the run.
inline void ExpectLoadedLast(const std::vector<std::string>& log) {
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), kLoad);
}

}  // namespace quorane::test

#endif  // QUORANE_TESTS_UPDATER_TEST_SUPPORT_H
