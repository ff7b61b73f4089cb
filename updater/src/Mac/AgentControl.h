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
// A load that cannot be started is tried again after a pause that starts at
// kFirstLoadPauseMs and doubles up to kLongestLoadPauseMs, until the pauses
// add up to kLoadRetryBudgetMs; then the run gives up on it.
inline constexpr unsigned kFirstLoadPauseMs = 10;
inline constexpr unsigned kLongestLoadPauseMs = 1000;
inline constexpr unsigned kLoadRetryBudgetMs = 60000;

// True when a process named exactly like an agent process is running.
bool ExistProcess(const AgentWorld& world);

// Unloads the launch agent, kills both agent processes, pauses a second, then
// checks up to ten times, a second and another kill sequence apart, until no
// agent process is left. Returns when the wait is over, whether or not they
// are gone: true then. False at once, with nothing more run, when the unload
// or a command of the first kill sequence could not be started: the agent
// may still be running, so its bundles must stay.
bool StopAgent(const AgentWorld& world);

// Loads the launch agent again. A load that cannot be started now (no
// process or memory to spare) is tried again, a growing pause apart, for up
// to a minute of pauses; one whose tool was not found is not. Returns whether
// it was started.
bool StartAgent(const AgentWorld& world);

}  // namespace quorane::updater

#endif  // QUORANE_UPDATER_AGENT_CONTROL_H
