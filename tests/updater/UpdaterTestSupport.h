// Helpers shared by the updater tests: sample bundles and zip archives,
// snapshots of a directory tree, and stand-in agent processes.
#ifndef QUORANE_TESTS_UPDATER_TEST_SUPPORT_H
#define QUORANE_TESTS_UPDATER_TEST_SUPPORT_H

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "OutsideWorld.h"
#include "TestSupport.h"

extern char** environ;

namespace quorane::test {

// A bundle directory holding Contents/version.txt with the given text.
inline void MakeBundle(const fs::path& dir, const std::string& name, const std::string& version) {
    fs::create_directories(dir / name / "Contents" / "MacOS");
    WriteFile(dir / name / "Contents" / "version.txt", version);
    WriteFile(dir / name / "Contents" / "MacOS" / "agent", "binary " + version);
}

// A zip archive at `archive` holding a fresh bundle for each name, carrying
// the given version text.
inline void MakeArchive(const fs::path& archive,
                        const std::vector<std::pair<std::string, std::string>>& bundles) {
    TempDir staging;
    std::vector<std::string> argv = {
        "sh", "-c",          "cd \"$1\" && shift && exec zip -qr \"$@\"",
        "sh", staging.str(), (staging / "archive.zip").string()};
    for (const auto& [name, version] : bundles) {
        MakeBundle(staging.path(), name, version);
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

// Every entry below `root`, by relative path: "dir/", "-> target" for a
// symbolic link, or the file's content.
inline std::map<std::string, std::string> Snapshot(const fs::path& root) {
    std::map<std::string, std::string> entries;
    boost::system::error_code ec;
    if (!fs::exists(fs::symlink_status(root, ec))) return entries;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
        const std::string relative = fs::relative(it->path(), root).string();
        const fs::file_status status = it->symlink_status();
        if (fs::is_symlink(status))
            entries[relative] = "-> " + fs::read_symlink(it->path()).string();
        else if (fs::is_directory(status))
            entries[relative] = "dir/";
        else
            entries[relative] = ReadFile(it->path());
    }
    return entries;
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
        const std::string stat = ReadFile("/proc/" + std::to_string(pid_) + "/stat");
        const std::string::size_type close = stat.rfind(')');
        return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
    }

private:
    pid_t pid_ = -1;
};

}  // namespace quorane::test

#endif  // QUORANE_TESTS_UPDATER_TEST_SUPPORT_H
