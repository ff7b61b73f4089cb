// Shared helpers for the test suites: a temporary directory per test, small
// file helpers, and running a piece of a test in a child process, as an
// unprivileged user if need be.
#ifndef QUORANE_TESTS_TEST_SUPPORT_H
#define QUORANE_TESTS_TEST_SUPPORT_H

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

namespace quorane::test {

namespace fs = boost::filesystem;

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes away.
class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/quorane-test-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = pattern;
    }
    ~TempDir() {
        boost::system::error_code ec;
        // Tests take permissions away; give them back so everything can go.
        for (fs::recursive_directory_iterator it(path_, ec), end; !ec && it != end;
             it.increment(ec)) {
            if (fs::is_directory(it->symlink_status())) ::chmod(it->path().c_str(), 0700);
        }
        ::chmod(path_.c_str(), 0700);
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

inline void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path.string(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadFile(const fs::path& path) {
    std::ifstream in(path.string(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The lists joined in order.
inline std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

#ifdef QUORANE_COVERAGE
// gcc's coverage runtime: writes the counts so far (scripts/coverage.sh).
extern "C" void __gcov_dump();  // NOLINT(clang-diagnostic-reserved-identifier)
#endif

// Ends a forked child at once, without the parent's exit handlers; in a
// coverage build its counts are written first, which _exit alone would lose.
[[noreturn]] inline void EndChild(int status) {
#ifdef QUORANE_COVERAGE
    __gcov_dump();
#endif
    _exit(status);
}

// Runs `body` in a forked child and returns the text it returns, passed back
// through a pipe; nothing when the child did not end normally (it threw,
// crashed, or outlived `alarmSeconds`). The body must not use gtest
// assertions: only its text reaches the parent.
inline std::optional<std::string> RunInChild(const std::function<std::string()>& body,
                                             unsigned alarmSeconds = 60) {
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0) return std::nullopt;
    const pid_t pid = fork();
    if (pid == 0) {
        close(channel[0]);
        alarm(alarmSeconds);
        std::string text;
        try {
            text = body();
        } catch (...) {
            EndChild(1);
        }
        for (std::size_t written = 0; written < text.size();) {
            const ssize_t n = write(channel[1], text.data() + written, text.size() - written);
            if (n <= 0) EndChild(1);
            written += static_cast<std::size_t>(n);
        }
        EndChild(0);
    }
    close(channel[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno != EINTR) break;
        if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
    }
    close(channel[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return std::nullopt;
    return text;
}

// The uid and gid the unprivileged parts of tests run as ("nobody").
constexpr uid_t kUnprivilegedId = 65534;

// Makes this process the unprivileged user when it is root; true when it
// runs unprivileged now. For children only: there is no way back.
inline bool DropPrivileges() {
    if (geteuid() != 0) return true;
    return setgroups(0, nullptr) == 0 && setgid(kUnprivilegedId) == 0 &&
           setuid(kUnprivilegedId) == 0;
}

// Runs `body` in a child process as an unprivileged user and returns its
// result, or nullopt when the child could not drop its privileges or did not
// end normally. When the tests already run unprivileged, the child simply
// keeps its identity. The body must not use gtest assertions.
inline std::optional<int> RunUnprivileged(const std::function<int()>& body) {
    const std::optional<std::string> result =
        RunInChild([&] { return DropPrivileges() ? std::to_string(body()) : std::string(); });
    if (!result || result->empty()) return std::nullopt;
    return std::stoi(*result);
}

// True when permission checks bind this process: it is not root, or it can
// become the unprivileged user in a child.
inline bool CanDropPrivileges() {
    auto result = RunUnprivileged([] { return geteuid() == 0 ? 1 : 0; });
    return result && *result == 0;
}

}  // namespace quorane::test

#endif  // QUORANE_TESTS_TEST_SUPPORT_H
