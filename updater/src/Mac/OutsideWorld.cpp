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

    SpawnAttributes attributes;
    if (childMask) {
        attributes.Set(
            [&](posix_spawnattr_t* set) { return ::posix_spawnattr_setsigmask(set, &*childMask); });
        attributes.Set([](posix_spawnattr_t* set) {
            return ::posix_spawnattr_setflags(set, POSIX_SPAWN_SETSIGMASK);
        });
    }
    // Standard input on /dev/null, and the passed file under its number (a
    // descriptor duplicated onto its own number loses close-on-exec too).
    SpawnFileActions actions;
    actions.Set([](posix_spawn_file_actions_t* set) {
        return ::posix_spawn_file_actions_addopen(set, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    });
    if (passedFd >= 0) {
        actions.Set([&](posix_spawn_file_actions_t* set) {
            return ::posix_spawn_file_actions_adddup2(set, passedFd, kPassedDescriptor);
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
