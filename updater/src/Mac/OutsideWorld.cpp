// The real outside world of the updater: the shell, programs on PATH, the
// process list, the clock, the C library's random numbers, and the holding
// back of termination requests.
#include "OutsideWorld.h"

#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "platform/Processes.h"

extern char** environ;

namespace quorane::updater {

namespace {

// The termination requests the updater holds back while it runs.
sigset_t TerminationSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) sigaddset(&signals, signal);
    return signals;
}

// Owns a spawn attribute set for the length of one spawn.
class SpawnAttributes {
public:
    explicit SpawnAttributes(const std::optional<sigset_t>& childMask) {
        ok_ = ::posix_spawnattr_init(&attributes_) == 0;
        if (ok_ && childMask) {
            ok_ = ::posix_spawnattr_setsigmask(&attributes_, &*childMask) == 0 &&
                  ::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK) == 0;
        }
    }
    ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    const posix_spawnattr_t* get() const { return ok_ ? &attributes_ : nullptr; }

private:
    posix_spawnattr_t attributes_;
    bool ok_ = false;
};

// Owns the file actions of one spawn: standard input on /dev/null and the
// passed file, if any, under kPassedDescriptor.
class SpawnFileActions {
public:
    explicit SpawnFileActions(int passedFd) {
        ok_ = ::posix_spawn_file_actions_init(&actions_) == 0;
        initialised_ = ok_;
        ok_ = ok_ && ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null",
                                                        O_RDONLY, 0) == 0;
        // A descriptor duplicated onto its own number loses close-on-exec too.
        if (passedFd >= 0)
            ok_ = ok_ &&
                  ::posix_spawn_file_actions_adddup2(&actions_, passedFd, kPassedDescriptor) == 0;
    }
    ~SpawnFileActions() {
        if (initialised_) ::posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;

    const posix_spawn_file_actions_t* get() const { return ok_ ? &actions_ : nullptr; }

private:
    posix_spawn_file_actions_t actions_;
    bool initialised_ = false;
    bool ok_ = false;
};

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
    // As system() would run it; the command's own result is of no interest
    // to the run.
    (void)RunProgram({"/bin/sh", "-c", commandLine}, -1, childMask);
}

ProgramResult RunProgram(const std::vector<std::string>& argv, int passedFd,
                         std::optional<sigset_t> childMask) {
    ProgramResult result;
    if (argv.empty()) return result;

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    const SpawnAttributes attributes(childMask);
    if (childMask && attributes.get() == nullptr) return result;
    const SpawnFileActions actions(passedFd);
    if (actions.get() == nullptr) return result;
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

void SleepSeconds(unsigned seconds) {
    // sleep() returns early when a signal arrives; finish the pause anyway.
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
                std::srand(static_cast<unsigned>(std::time(nullptr)));
                seeded = true;
            }
            return std::rand() % 1000;
        }
    };
    auto runProgram = [childMask](const std::vector<std::string>& argv, int passedFd) {
        return RunProgram(argv, passedFd, childMask);
    };
    return SwapWorld{runProgram, TimeSeededDraw{}};
}

}  // namespace quorane::updater
