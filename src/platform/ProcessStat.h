// Reading a line of /proc/PID/stat: pure text work, no process involved.
#ifndef QUORANE_PLATFORM_PROCESS_STAT_H
#define QUORANE_PLATFORM_PROCESS_STAT_H

#include <sys/types.h>

#include <optional>
#include <sstream>
#include <string>

namespace quorane::platform {

// The fields of a /proc/PID/stat line that the project reads.
struct ProcessStat {
    char state = '?';  // R, S, D, Z (exited, not reaped), X (dead), ...
    pid_t parent = 0;
    pid_t group = 0;  // the process group
};

// The fields of `line`, or nothing when it is cut short. The command name
// before them is in parentheses and may itself hold blanks and parentheses,
// so they are read behind the last ")".
inline std::optional<ProcessStat> ParseProcessStat(const std::string& line) {
    const std::string::size_type close = line.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(line.substr(close + 1));
    ProcessStat stat;
    if (!(fields >> stat.state >> stat.parent >> stat.group)) return std::nullopt;
    return stat;
}

}  // namespace quorane::platform

#endif  // QUORANE_PLATFORM_PROCESS_STAT_H
