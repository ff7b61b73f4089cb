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
// The agent's processes, by name.
inline constexpr const char* kAgentProcessNames[] = {"quoraneet", "quoranees"};
// Each kill sequence runs "<prefix> <name>" for each prefix, then each agent
// process name. The bare 9 is one more process name for killall, so the first
// prefix sends its default termination signal; the second sends signal 9.
inline constexpr const char* kKillPrefixes[] = {"killall 9", "killall -9"};
inline constexpr int kWaitChecks = 10;

// True when a process named exactly like an agent process is running.
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
