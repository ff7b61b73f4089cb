// Running process names from /proc.
#ifndef __linux__
#error "Linux implementation of a platform seam: CMake builds another system's own there."
#endif

#include "platform/Processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <optional>

#include "base/FileDescriptor.h"
#include "platform/ProcessStat.h"

namespace quorane::platform {
namespace {

// The whole content of a small /proc file, or nothing when it cannot be read
// (typically because the process is gone).
std::optional<std::string> ReadProcFile(const std::string& path) {
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) return std::nullopt;
    std::string content;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(file.get(), buffer, sizeof buffer)) > 0) content.append(buffer, n);
    if (n < 0) return std::nullopt;
    return content;
}

bool IsNumber(const char* name) {
    if (*name == '\0') return false;
    for (; *name != '\0'; ++name) {
        if (!std::isdigit(static_cast<unsigned char>(*name))) return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> RunningProcessNames() {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
    if (!proc) return names;

    // glibc's readdir is safe on a stream no other thread reads, as this
    // function's own stream is.
    while (const dirent* entry = ::readdir(proc.get())) {  // NOLINT(concurrency-mt-unsafe)
        if (!IsNumber(entry->d_name)) continue;
        const std::string dir = std::string("/proc/") + entry->d_name;

        const std::optional<std::string> line = ReadProcFile(dir + "/stat");
        if (!line) continue;
        const std::optional<ProcessStat> stat = ParseProcessStat(*line);
        // Zombies ('Z') and dead tasks ('X') have already exited.
        if (!stat || stat->state == 'Z' || stat->state == 'X') continue;

        std::optional<std::string> name = ReadProcFile(dir + "/comm");
        if (!name || name->empty()) continue;
        if (name->back() == '\n') name->pop_back();
        names.push_back(std::move(*name));
    }
    return names;
}

}  // namespace quorane::platform
