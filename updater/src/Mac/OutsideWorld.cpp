// The real outside world of the updater: the shell, programs on PATH, the
// process list, the clock and the C library's random numbers.
#include "OutsideWorld.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "Processes.h"

extern char** environ;

namespace quorane::updater {

void RunShell(const std::string& commandLine) {
    // The command's own result is of no interest to the run.
    (void)std::system(commandLine.c_str());
}

ProgramResult RunProgram(const std::vector<std::string>& argv) {
    ProgramResult result;
    if (argv.empty()) return result;

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    pid_t pid = 0;
    if (::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return result;

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

void SleepSeconds(unsigned seconds) {
    // sleep() returns early when a signal arrives; finish the pause anyway.
    while (seconds > 0) seconds = ::sleep(seconds);
}

AgentWorld RealAgentWorld() {
    return AgentWorld{RunShell, platform::RunningProcessNames, SleepSeconds};
}

SwapWorld RealSwapWorld() {
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
    return SwapWorld{RunProgram, TimeSeededDraw{}};
}

}  // namespace quorane::updater
