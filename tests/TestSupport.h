// Shared helpers for the test suites: a temporary directory per test, small
// file helpers, and running a piece of a test as an unprivileged user.
#ifndef QUORANE_TESTS_TEST_SUPPORT_H
#define QUORANE_TESTS_TEST_SUPPORT_H

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

// The uid and gid the unprivileged parts of tests run as ("nobody").
constexpr uid_t kUnprivilegedId = 65534;

// Runs `body` in a child process as an unprivileged user and returns its
// result (the child's exit status), or nullopt when the child could not drop
// its privileges or did not exit normally. When the tests already run
// unprivileged, the child simply keeps its identity. The body must not use
// gtest assertions: only its return value reaches the parent.
inline std::optional<int> RunUnprivileged(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid < 0) return std::nullopt;
    if (pid == 0) {
        if (geteuid() == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(kUnprivilegedId) != 0 ||
                setuid(kUnprivilegedId) != 0)
                _exit(200);
        }
        _exit(body());
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return std::nullopt;
    if (WEXITSTATUS(status) == 200) return std::nullopt;
    return WEXITSTATUS(status);
}

// True when permission checks bind this process: it is not root, or it can
// become the unprivileged user in a child.
inline bool CanDropPrivileges() {
    auto result = RunUnprivileged([] { return geteuid() == 0 ? 1 : 0; });
    return result && *result == 0;
}

}  // namespace quorane::test

#endif  // QUORANE_TESTS_TEST_SUPPORT_H
