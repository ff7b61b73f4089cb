// The real outside world of the updater: the tools it found and the
// environment they get, the process list, the clock, the C library's random
// numbers, memory set aside, and the holding back of termination requests.
#include "OutsideWorld.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <sstream>

#include <quorane/Utils.h>

#include "InstallTree.h"
#include "base/FileDescriptor.h"
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

// The variables of the caller's environment that no program the updater
// starts gets: a name ending in "*" stands for every name it begins.
struct WithheldVariable {
    const char* name;
};
constexpr WithheldVariable kWithheldVariables[] = {
    // Options unzip and zipinfo read before their command line, under every
    // spelling they know: "-:" keeps "../" in entry names, "-aa" rewrites the
    // line ends of every file, "-LL" lower-cases every name.
    {"UNZIP"},
    {"UNZIPOPT"},
    {"UNZIP_OPTS"},
    {"ZIPINFO"},
    {"ZIPINFOOPT"},
    {"ZIPINFO_OPTS"},
    // The dynamic loader's settings: libraries preloaded or audited into every
    // program, other places to load libraries from, and its tunables.
    {"LD_*"},
    {"GLIBC_TUNABLES"},
    // The same for the macOS loader.
    {"DYLD_*"},
    // Where the C library loads character set converters and locales from,
    // which unzip's name decoding uses.
    {"GCONV_PATH"},
    {"LOCPATH"},
    // What a shell reads or runs before a script's first line (the stand-ins
    // and wrappers that launchctl and killall may be): start-up files,
    // options, exported functions, word splitting, directory search.
    {"ENV"},
    {"BASH_ENV"},
    {"SHELLOPTS"},
    {"BASHOPTS"},
    {"BASH_FUNC_*"},
    {"IFS"},
    {"CDPATH"},
    // Makes the tools' option parsing and output stricter than they expect.
    {"POSIXLY_CORRECT"},
    // Set by the updater itself: the directories the tools were searched in.
    {"PATH"},
};

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
    // Every bit set, not sigfillset: that one leaves out the C library's own
    // real-time signals, which posix_spawn then starts the program with
    // ignored.
    sigset_t signals;
    std::memset(&signals, 0xff, sizeof signals);
    sigdelset(&signals, SIGPIPE);
    sigdelset(&signals, SIGKILL);
    sigdelset(&signals, SIGSTOP);
    return signals;
}

ProgramResult Spawn(const std::vector<std::string>& argv, const ProgramSetup& setup,
                    const char* workingDirectoryName, std::optional<sigset_t> childMask) {
    ProgramResult result;
    if (argv.empty()) return result;
    if (argv[0].empty()) {
        result.ending = ProgramResult::Ending::NotFound;
        return result;
    }

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
    char* const* environment = setup.environment != nullptr ? setup.environment : environ;
    if (::posix_spawnp(&pid, args[0], actions.get(), attributes.get(), args.data(), environment) !=
        0)
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

const std::string& Tools::Path(const std::string& name) const {
    static const std::string none;
    if (name == "unzip") return unzip;
    if (name == "launchctl") return launchctl;
    if (name == "killall") return killall;
    return none;
}

Tools FindTools(const char* searchPath, int installDirectory) {
    std::string path;
    if (searchPath != nullptr) {
        path = searchPath;
    } else {
        // What the system searches when PATH is unset.
        path.resize(::confstr(_CS_PATH, nullptr, 0));
        if (!path.empty()) {
            ::confstr(_CS_PATH, path.data(), path.size());
            path.pop_back();  // its terminating NUL
        }
    }
    struct stat installInfo {};
    const bool install = installDirectory >= 0 && ::fstat(installDirectory, &installInfo) == 0;

    Tools tools;
    std::string::size_type start = 0;
    while (start <= path.size()) {
        std::string::size_type end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        const std::string entry = path.substr(start, end - start);
        start = end + 1;
        if (entry.empty() || entry[0] != '/') continue;
        if (install) {
            // A directory that cannot be opened to climb from is searched
            // all the same: the install directory, which could be, was.
            const FileDescriptor directory(::open(entry.c_str(), kDirectoryFlags));
            if (directory.valid() && ClimbsTo(directory.get(), installInfo)) continue;
        }
        tools.searchPath += (tools.searchPath.empty() ? "" : ":") + entry;
        for (std::string* tool : {&tools.unzip, &tools.launchctl, &tools.killall}) {
            if (!tool->empty()) continue;
            const char* name = tool == &tools.unzip       ? "unzip"
                               : tool == &tools.launchctl ? "launchctl"
                                                          : "killall";
            const std::string candidate = AppendPathToString(entry, std::string(name));
            struct stat info {};
            if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
                ::faccessat(AT_FDCWD, candidate.c_str(), X_OK, AT_EACCESS) == 0)
                *tool = candidate;
        }
    }
    return tools;
}

Tools FindTools() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the updater is single-threaded
    return FindTools(std::getenv("PATH"));
}

bool Withheld(const char* setting) {
    const char* equals = std::strchr(setting, '=');
    const std::size_t length =
        equals != nullptr ? static_cast<std::size_t>(equals - setting) : std::strlen(setting);
    for (const WithheldVariable& variable : kWithheldVariables) {
        const std::size_t size = std::strlen(variable.name);
        if (variable.name[size - 1] == '*') {
            if (length >= size - 1 && std::strncmp(setting, variable.name, size - 1) == 0)
                return true;
        } else if (length == size && std::strncmp(setting, variable.name, size) == 0) {
            return true;
        }
    }
    return false;
}

ChildEnvironment::ChildEnvironment(const Tools& tools, bool forUnzip) {
    for (char** setting = environ; setting != nullptr && *setting != nullptr; ++setting) {
        // unzip gets a fixed locale, which overrides every other locale
        // variable, so that it decodes entry names the same way for everyone.
        if (Withheld(*setting) || (forUnzip && std::strncmp(*setting, "LC_ALL=", 7) == 0)) continue;
        settings_.emplace_back(*setting);
    }
    settings_.push_back("PATH=" + tools.searchPath);
    if (forUnzip) settings_.emplace_back("LC_ALL=C");
    pointers_.reserve(settings_.size() + 1);
    for (std::string& setting : settings_) pointers_.push_back(setting.data());
    pointers_.push_back(nullptr);
}

SpareMemory::SpareMemory(std::size_t bytes) : bytes_(bytes) {
    // Writable, so that it counts against a data size limit as much as
    // against an address space limit, and never touched, so that it costs
    // no memory until it is given back.
    void* block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    block_ = block == MAP_FAILED ? nullptr : block;
}

void SpareMemory::Release() {
    if (block_ != nullptr) ::munmap(block_, bytes_);
    block_ = nullptr;
}

ProgramResult RunCommand(const std::string& commandLine, const Tools& tools,
                         const ChildEnvironment& environment, std::optional<sigset_t> childMask) {
    // With no home directory known, "~" stays as it is: it never becomes
    // the root directory's own Library.
    const std::string home = HomeDirectory();
    std::vector<std::string> argv;
    std::istringstream words(commandLine);
    for (std::string word; words >> word;) {
        if (!home.empty() && word.rfind("~/", 0) == 0) word.replace(0, 1, home);
        argv.push_back(std::move(word));
    }
    if (argv.empty()) return {};
    argv[0] = tools.Path(argv[0]);
    ProgramSetup setup;
    setup.environment = environment.get();
    // From the root directory, so that no name in the command can mean
    // something planted in the working directory.
    return Spawn(argv, setup, "/", childMask);
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

void PauseMilliseconds(unsigned milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

AgentWorld RealAgentWorld(std::optional<sigset_t> childMask, const Tools& tools) {
    auto environment = std::make_shared<const ChildEnvironment>(tools, false);
    auto runCommand = [childMask, tools, environment](const std::string& commandLine) {
        try {
            return RunCommand(commandLine, tools, *environment, childMask);
        } catch (const std::bad_alloc&) {
            return ProgramResult{};  // not started, for now
        }
    };
    return AgentWorld{runCommand, platform::RunningProcessNames, SleepSeconds, PauseMilliseconds};
}

SwapWorld RealSwapWorld(std::optional<sigset_t> childMask, const Tools& tools) {
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
    auto environment = std::make_shared<const ChildEnvironment>(tools, true);
    auto runProgram = [childMask, tools, environment](const std::vector<std::string>& argv,
                                                      const ProgramSetup& setup) {
        if (argv.empty()) return ProgramResult{};
        std::vector<std::string> found = argv;
        found[0] = tools.Path(argv[0]);
        ProgramSetup withEnvironment = setup;
        withEnvironment.environment = environment->get();
        return RunProgram(found, withEnvironment, childMask);
    };
    return SwapWorld{runProgram, TimeSeededDraw{}, !tools.unzip.empty()};
}

}  // namespace quorane::updater
