// The real outside world of the updater: the shell, programs on PATH, the
// process list, the clock, the C library's random numbers, and the holding
// back of termination requests.
#include "OutsideWorld.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "platform/Processes.h"

namespace quorane::updater {

namespace {

// The termination requests the updater holds back while it runs.
sigset_t TerminationSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) sigaddset(&signals, signal);
    return signals;
}

// Owns one of posix_spawn's setting objects (attributes or file actions)
// for the length of one spawn: made with Init, destroyed with Destroy. get()
// is null when making it or applying any setting failed.
template <typename T, int (*Init)(T*), int (*Destroy)(T*)>
class SpawnSettings {
public:
    SpawnSettings() : made_(Init(&object_) == 0), ok_(made_) {}
    ~SpawnSettings() {
        if (made_) Destroy(&object_);
    }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;

    // Applies one setting: `apply` takes the object and returns 0 on success.
    template <typename Apply>
    void Set(Apply apply) {
        ok_ = ok_ && apply(&object_) == 0;
    }

    const T* get() const { return ok_ ? &object_ : nullptr; }

private:
    T object_;
    bool made_;
    bool ok_;
};

using SpawnAttributes =
    SpawnSettings<posix_spawnattr_t, ::posix_spawnattr_init, ::posix_spawnattr_destroy>;
using SpawnFileActions = SpawnSettings<posix_spawn_file_actions_t, ::posix_spawn_file_actions_init,
                                       ::posix_spawn_file_actions_destroy>;

// Whether a program can write to the open descriptor `fd` now without being
// stopped, ended or refused: it is open for writing and, for a pipe or
// socket, has a reader with room; a device other than a terminal is asked
// with a write of nothing, which /dev/full, say, refuses. A regular file always counts as writable.
bool Writable(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags == -1 || (flags & O_ACCMODE) == O_RDONLY) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0) return false;
    if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) {
        pollfd check{fd, POLLOUT, 0};
        while (::poll(&check, 1, 0) < 0) {
            if (errno != EINTR) return false;
        }
        return (check.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0 &&
               (check.revents & POLLOUT) != 0;
    }
    // A terminal is not asked: even a write of nothing could stop a
    // background updater when the terminal has TOSTOP set.
    if (S_ISCHR(info.st_mode)) return ::isatty(fd) == 1 || ::write(fd, "", 0) == 0;
    return true;
}

// The dispositions a program starts with: every signal at its default,
// except SIGPIPE, which stays ignored as the updater keeps it.
sigset_t DefaultedSignals() {
    sigset_t signals;
    sigfillset(&signals);
    sigdelset(&signals, SIGPIPE);
    sigdelset(&signals, SIGKILL);
    sigdelset(&signals, SIGSTOP);
    return signals;
}

ProgramResult Spawn(const std::vector<std::string>& argv, const ProgramSetup& setup,
                    const char* workingDirectoryName, std::optional<sigset_t> childMask) {
    ProgramResult result;
    if (argv.empty()) return result;

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    SpawnAttributes attributes;
    short flags = POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF;
    const sigset_t defaulted = DefaultedSignals();
    attributes.Set(
        [&](posix_spawnattr_t* set) { return ::posix_spawnattr_setsigdefault(set, &defaulted); });
    if (childMask) {
        attributes.Set(
            [&](posix_spawnattr_t* set) { return ::posix_spawnattr_setsigmask(set, &*childMask); });
        flags |= POSIX_SPAWN_SETSIGMASK;
    }
    attributes.Set([&](posix_spawnattr_t* set) { return ::posix_spawnattr_setflags(set, flags); });

    // The working directory first, while the descriptor that names it is
    // still its own; then standard input on /dev/null, an output stream that
    // cannot be written on /dev/null too, and the passed file under its
    // number (a descriptor duplicated onto its own number loses close-on-exec
    // too).
    SpawnFileActions actions;
    if (setup.workingDirectory >= 0) {
        actions.Set([&](posix_spawn_file_actions_t* set) {
            return ::posix_spawn_file_actions_addfchdir_np(set, setup.workingDirectory);
        });
    } else if (workingDirectoryName != nullptr) {
        actions.Set([&](posix_spawn_file_actions_t* set) {
            return ::posix_spawn_file_actions_addchdir_np(set, workingDirectoryName);
        });
    }
    actions.Set([](posix_spawn_file_actions_t* set) {
        return ::posix_spawn_file_actions_addopen(set, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    });
    for (const int stream : {STDOUT_FILENO, STDERR_FILENO}) {
        if (!Writable(stream)) {
            actions.Set([&](posix_spawn_file_actions_t* set) {
                return ::posix_spawn_file_actions_addopen(set, stream, "/dev/null", O_WRONLY, 0);
            });
        }
    }
    if (setup.passedFd >= 0) {
        actions.Set([&](posix_spawn_file_actions_t* set) {
            return ::posix_spawn_file_actions_adddup2(set, setup.passedFd, kPassedDescriptor);
        });
    }
    if (attributes.get() == nullptr || actions.get() == nullptr) return result;
    pid_t pid = 0;
    if (::posix_spawnp(&pid, args[0], actions.get(), attributes.get(), args.data(), environ) != 0)
        return result;

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return result;
    }
    if (WIFEXITED(status)) {
        // posix_spawnp reports a program it could not execute as exit 127.
        result.ending = ProgramResult::Ending::Exited;
        result.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.ending = ProgramResult::Ending::Signalled;
        result.code = WTERMSIG(status);
    }
    return result;
}

}  // namespace

TerminationRequestsHeld::TerminationRequestsHeld() {
    const sigset_t held = TerminationSignals();
    ::pthread_sigmask(SIG_BLOCK, &held, &normal_);
}

TerminationRequestsHeld::~TerminationRequestsHeld() {
    // A request that is pending is delivered here, with its usual effect.
    ::pthread_sigmask(SIG_SETMASK, &normal_, nullptr);
}

void RunShell(const std::string& commandLine, std::optional<sigset_t> childMask) {
    // As system() would run it, but from the root directory, so that no name
    // in the command can mean something planted in the working directory. The
    // command's own result is of no interest to the run.
    (void)Spawn({"/bin/sh", "-c", commandLine}, {}, "/", childMask);
}

ProgramResult RunProgram(const std::vector<std::string>& argv, const ProgramSetup& setup,
                         std::optional<sigset_t> childMask) {
    return Spawn(argv, setup, nullptr, childMask);
}

void OpenClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open() takes the lowest free number, which is `fd`: the ones below
        // it are open by now. Standard streams are inherited on purpose, so
        // no close-on-exec here.
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened != fd && opened >= 0) ::close(opened);
    }
}

void StartFromKnownState() {
    ::signal(SIGCHLD, SIG_DFL);
    ::signal(SIGPIPE, SIG_IGN);
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the updater is single-threaded
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
        const std::string fromDatabase = HomeDirectory();
        // NOLINTNEXTLINE(concurrency-mt-unsafe): the updater is single-threaded
        if (!fromDatabase.empty()) ::setenv("HOME", fromDatabase.c_str(), 1);
    }
}

std::string HomeDirectory() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the updater is single-threaded
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') return home;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    int error = 0;
    while ((error = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found)) ==
           ERANGE)
        buffer.resize(buffer.size() * 2);
    if (error != 0 || found == nullptr || found->pw_dir == nullptr) return "";
    return found->pw_dir;
}

void SleepSeconds(unsigned seconds) {
    // sleep() returns early when a signal arrives; finish the pause anyway.
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the updater is single-threaded
    while (seconds > 0) seconds = ::sleep(seconds);
}

AgentWorld RealAgentWorld(std::optional<sigset_t> childMask) {
    auto runShell = [childMask](const std::string& commandLine) {
        RunShell(commandLine, childMask);
    };
    return AgentWorld{runShell, platform::RunningProcessNames, SleepSeconds};
}

SwapWorld RealSwapWorld(std::optional<sigset_t> childMask) {
    // Seeded from the clock once per run, on the first draw.
    struct TimeSeededDraw {
        bool seeded = false;
        int operator()() {
            if (!seeded) {
                // The backup number is drawn with srand(time) and rand by design.
                // NOLINTNEXTLINE(cert-msc51-cpp)
                std::srand(static_cast<unsigned>(std::time(nullptr)));
                seeded = true;
            }
            // By design as well, and the updater is single-threaded.
            // NOLINTNEXTLINE(cert-msc50-cpp,concurrency-mt-unsafe)
            return std::rand() % 1000;
        }
    };
    auto runProgram = [childMask](const std::vector<std::string>& argv, const ProgramSetup& setup) {
        return RunProgram(argv, setup, childMask);
    };
    return SwapWorld{runProgram, TimeSeededDraw{}};
}

}  // namespace quorane::updater
