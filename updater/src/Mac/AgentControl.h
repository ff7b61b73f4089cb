// Stopping and restarting the resident agent around the bundle swap.
#ifndef QUORANE_UPDATER_AGENT_CONTROL_H
#define QUORANE_UPDATER_AGENT_CONTROL_H

#include <string>
#include <vector>

#include "OutsideWorld.h"

namespace quorane::updater {

inline constexpr const char* kUnloadCommand =
    "launchctl unload ~/Library/LaunchAgents/com.quorane.quoranees.plist";
inline constexpr const char* kLoadCommand =
    "launchctl load -w ~/Library/LaunchAgents/com.quorane.quoranees.plist";
// The bare 9 is one more process name for killall, so the first two send its
// default termination signal; the last two send signal 9.
inline constexpr const char* kKillSequence[] = {
    "killall 9 quoraneet",
    "killall 9 quoranees",
    "killall -9 quoraneet",
    "killall -9 quoranees",
};
inline constexpr int kWaitChecks = 10;

// True when a process named exactly "quoraneet" or "quoranees" is running.
bool ExistProcess(const AgentWorld& world);

// Unloads the launch agent, kills both agent processes, pauses a second, then
// checks up to ten times, a second and another kill sequence apart, until no
// agent process is left. Returns when the wait is over, whether or not they
// are gone.
void StopAgent(const AgentWorld& world);

// Loads the launch agent again.
void StartAgent(const AgentWorld& world);

}  // namespace quorane::updater

#endif  // QUORANE_UPDATER_AGENT_CONTROL_H
