// What the updater's phases need from the outside world, as replaceable
// functions: the binary wires in the real ones, tests wire in stand-ins.
#ifndef QUORANE_UPDATER_OUTSIDE_WORLD_H
#define QUORANE_UPDATER_OUTSIDE_WORLD_H

#include <csignal>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorane::updater {

// How a program run ended.
struct ProgramResult {
    enum class Ending { Exited, Signalled, NotStarted };
    Ending ending = Ending::NotStarted;
    int code = 0;  // exit status, or the signal number

    // Ended with an exit status below 2 (0 is success, 1 a warning).
    bool Clean() const { return ending == Ending::Exited && code < 2; }
};

struct AgentWorld {
    // Runs one command line through the shell and waits for it.
    std::function<void(const std::string& commandLine)> runShell;
    // The names of the running processes.
    std::function<std::vector<std::string>()> processNames;
    // Pauses the whole run.
    std::function<void(unsigned seconds)> sleep;
};

// The descriptor number under which a program started with a passed file
// finds it, and the name that opens that file again from inside the program.
inline constexpr int kPassedDescriptor = 3;
inline constexpr const char* kPassedFileName = "/dev/fd/3";

// How a program is started, beyond its arguments.
struct ProgramSetup {
    // An open file the program finds as kPassedDescriptor, unless -1.
    int passedFd = -1;
    // An open directory the program starts in, unless -1 (then it starts in
    // the updater's working directory).
    int workingDirectory = -1;
};

struct SwapWorld {
    // Runs a program found on PATH with these arguments (argv[0] first), as
    // RunProgram does, and waits for it.
    std::function<ProgramResult(const std::vector<std::string>& argv, const ProgramSetup& setup)>
        runProgram;
    // Draws a backup number from 0 to 999.
    std::function<int()> drawNumber;
};

// Holds back termination requests (hang-up, interrupt, quit, terminate) for
// as long as it lives: a request that arrives meanwhile stays pending and
// takes effect when the holder ends, not before.
class TerminationRequestsHeld {
public:
    TerminationRequestsHeld();
    ~TerminationRequestsHeld();
    TerminationRequestsHeld(const TerminationRequestsHeld&) = delete;
    TerminationRequestsHeld& operator=(const TerminationRequestsHeld&) = delete;

    // The signal mask the process had before: the one its commands run with.
    const sigset_t& NormalMask() const { return normal_; }

private:
    sigset_t normal_;
};

// The real worlds. Commands and programs run with `childMask` as their signal
// mask, or with the caller's own mask when none is given.
AgentWorld RealAgentWorld(std::optional<sigset_t> childMask = std::nullopt);
SwapWorld RealSwapWorld(std::optional<sigset_t> childMask = std::nullopt);

// The real implementations, usable on their own.
//
// Every program starts from a state the updater chose, not the one it
// inherited: in a session of its own (no controlling terminal, so no prompt
// reaches a person, and no signal sent to the updater's process group or
// terminal reaches it), with /dev/null as standard input, with every signal's
// disposition at its default except SIGPIPE, which stays ignored (see
// StartFromKnownState), and with `childMask` as its signal mask, or the
// caller's own mask when none is given. Its standard output and error are the
// updater's own, except a stream that cannot be written when the program
// starts (a pipe without a reader or with no room, a device that refuses
// writes, a descriptor not open for writing): that one is /dev/null instead.
// RunShell's commands start in the root directory.
void RunShell(const std::string& commandLine, std::optional<sigset_t> childMask = std::nullopt);
ProgramResult RunProgram(const std::vector<std::string>& argv, const ProgramSetup& setup = {},
                         std::optional<sigset_t> childMask = std::nullopt);
void SleepSeconds(unsigned seconds);

// Opens /dev/null on whichever of descriptors 0, 1 and 2 is closed, so that
// no file opened later, by the updater or by a program it starts, can take
// one of those numbers and receive what is meant for a standard stream.
void OpenClosedStandardDescriptors();

// Sets what the updater inherited and must not keep: SIGCHLD back to its
// default, so that the status of every program it starts can be collected;
// SIGPIPE ignored, so that no program it starts, and not the updater itself,
// is ended by a reader of its output going away; and HOME, when it is unset
// or empty, to the user database's home directory of the real user, so that
// "~" in the agent's commands means that directory and never a name relative
// to the working directory.
void StartFromKnownState();

// The home directory of the user the updater runs as: HOME when it is set and
// not empty, else the user database's entry for the real user ID; empty when
// neither is known.
std::string HomeDirectory();

}  // namespace quorane::updater

#endif  // QUORANE_UPDATER_OUTSIDE_WORLD_H
