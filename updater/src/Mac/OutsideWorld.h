// What the updater's phases need from the outside world, as replaceable
// functions: the binary wires in the real ones, tests wire in stand-ins.
#ifndef QUORANE_UPDATER_OUTSIDE_WORLD_H
#define QUORANE_UPDATER_OUTSIDE_WORLD_H

#include <csignal>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorane::updater {

// How a program run ended.
struct ProgramResult {
    // NotStarted: the program could not be started now (no process or memory
    // to spare, say); NotFound: it is not among the tools that were found.
    enum class Ending { Exited, Signalled, NotStarted, NotFound };
    Ending ending = Ending::NotStarted;
    int code = 0;  // exit status, or the signal number

    // Ended with an exit status below 2 (0 is success, 1 a warning).
    bool Clean() const { return ending == Ending::Exited && code < 2; }
};

struct AgentWorld {
    // Runs one of the agent's command lines and waits for it: its words are
    // split at blanks, the first names the tool, and a word that begins with
    // "~/" begins with the home directory instead.
    std::function<ProgramResult(const std::string& commandLine)> runCommand;
    // The names of the running processes.
    std::function<std::vector<std::string>()> processNames;
    // Pauses the whole run.
    std::function<void(unsigned seconds)> sleep;
    // Pauses the whole run for a number of milliseconds.
    std::function<void(unsigned milliseconds)> pause;
};

// The programs the updater starts, each found once, before anything is
// unpacked, and run by that absolute path.
struct Tools {
    std::string unzip, launchctl, killall;  // empty when not found
    // The directories searched, joined with ":": the PATH its programs get.
    std::string searchPath;

    // The path of the tool `name`; empty when it was not found or is none of
    // the tools.
    const std::string& Path(const std::string& name) const;
};

// Finds the tools on the absolute entries of `searchPath` (the caller's PATH;
// the system's default path when there is none). An empty or relative entry
// names the caller's working directory, and an entry at or below the open
// `installDirectory` (unless -1) names what an archive may unpack there: no
// such entry is searched. A tool is an executable regular file, links
// followed.
Tools FindTools(const char* searchPath, int installDirectory = -1);

// FindTools on the caller's PATH.
Tools FindTools();

// The environment of the programs the updater starts: its own, less the
// variables that change how those programs behave or what a shell runs before
// them (see kWithheldVariables), with PATH set to the directories the tools
// were searched in; for unzip also LC_ALL=C, so that entry names are decoded
// the same way whatever locale the caller uses. Made once, before the agent is
// stopped.
class ChildEnvironment {
public:
    ChildEnvironment(const Tools& tools, bool forUnzip);
    ChildEnvironment(const ChildEnvironment&) = delete;
    ChildEnvironment& operator=(const ChildEnvironment&) = delete;

    // NAME=value strings, null-terminated, as exec expects them.
    char* const* get() const { return pointers_.data(); }

private:
    std::vector<std::string> settings_;
    std::vector<char*> pointers_;
};

// Whether a variable of the caller's environment, given as NAME=value, is
// withheld from the programs the updater starts.
bool Withheld(const char* setting);

// Address space set aside for as long as it lives, or until Release: what
// the load of the agent needs to be started (a stack for the new process, its
// settings) stays free whatever the swap used, even under a memory limit.
class SpareMemory {
public:
    explicit SpareMemory(std::size_t bytes);
    ~SpareMemory() { Release(); }
    SpareMemory(const SpareMemory&) = delete;
    SpareMemory& operator=(const SpareMemory&) = delete;

    // Whether the memory could be set aside.
    explicit operator bool() const { return block_ != nullptr; }
    void Release();

private:
    void* block_ = nullptr;
    std::size_t bytes_ = 0;
};

// The descriptor number under which a program started with a passed file
// finds it, and the name that opens that file again from inside the program.
inline constexpr int kPassedDescriptor = 3;
inline constexpr const char* kPassedFileName = "/dev/fd/3";

// How a program is started, beyond its arguments.
struct ProgramSetup {
    // The program's environment (NAME=value strings, null-terminated), or
    // null for the updater's own.
    char* const* environment = nullptr;
    // An open file the program finds as kPassedDescriptor, unless -1.
    int passedFd = -1;
    // An open directory the program starts in, unless -1 (then it starts in
    // the updater's working directory).
    int workingDirectory = -1;
};

struct SwapWorld {
    // Runs one of the tools, named by argv[0] ("unzip"), with these arguments,
    // as RunProgram does, and waits for it.
    std::function<ProgramResult(const std::vector<std::string>& argv, const ProgramSetup& setup)>
        runProgram;
    // Draws a backup number from 0 to 999.
    std::function<int()> drawNumber;
    // Whether unzip was found: without it, nothing is touched.
    bool canUnpack = true;
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

// The real worlds: they run the tools by the paths in `tools`, with the
// environment ChildEnvironment makes. Commands and programs run with
// `childMask` as their signal mask, or with the caller's own mask when none is
// given. Everything a command needs to be started is made beforehand, and a
// command that throws while it is being started (memory running out) counts
// as not started.
AgentWorld RealAgentWorld(std::optional<sigset_t> childMask = std::nullopt,
                          const Tools& tools = FindTools());
SwapWorld RealSwapWorld(std::optional<sigset_t> childMask = std::nullopt,
                        const Tools& tools = FindTools());

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
// RunProgram runs argv[0] as posix_spawnp finds it; the updater itself only
// runs absolute paths. RunCommand runs an agent command line (see AgentWorld)
// with the tools' paths and the environment given, in the root directory.
ProgramResult RunCommand(const std::string& commandLine, const Tools& tools,
                         const ChildEnvironment& environment,
                         std::optional<sigset_t> childMask = std::nullopt);
ProgramResult RunProgram(const std::vector<std::string>& argv, const ProgramSetup& setup = {},
                         std::optional<sigset_t> childMask = std::nullopt);
void SleepSeconds(unsigned seconds);
void PauseMilliseconds(unsigned milliseconds);

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
