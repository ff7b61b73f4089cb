// Stopping and restarting the resident agent.
#include "AgentControl.h"

#include <algorithm>

namespace quorane::updater {
namespace {

bool Started(const ProgramResult& result) {
    return result.ending == ProgramResult::Ending::Exited ||
           result.ending == ProgramResult::Ending::Signalled;
}

// Runs every command of the sequence, whatever becomes of the others; true
// when all of them could be started.
bool RunKillSequence(const AgentWorld& world) {
    bool all = true;
    for (const char* prefix : kKillPrefixes) {
        for (const char* name : kAgentProcessNames)
            all = Started(world.runCommand(std::string(prefix) + " " + name)) && all;
    }
    return all;
}

}  // namespace

bool ExistProcess(const AgentWorld& world) {
    for (const std::string& name : world.processNames()) {
        for (const char* agent : kAgentProcessNames) {
            if (name == agent) return true;
        }
    }
    return false;
}

bool StopAgent(const AgentWorld& world) {
    if (!Started(world.runCommand(kUnloadCommand))) return false;
    if (!RunKillSequence(world)) return false;
    world.sleep(1);

    for (int budget = kWaitChecks; budget > 0; --budget) {
        if (!ExistProcess(world)) return true;
        world.sleep(1);
        RunKillSequence(world);
    }
    // After the last check that still found the agent the update goes on.
    return true;
}

bool StartAgent(const AgentWorld& world) {
    unsigned pause = kFirstLoadPauseMs, paused = 0;
    for (;;) {
        const ProgramResult result = world.runCommand(kLoadCommand);
        if (result.ending != ProgramResult::Ending::NotStarted) return Started(result);
        if (paused >= kLoadRetryBudgetMs) return false;
        world.pause(pause);
        paused += pause;
        pause = std::min(pause * 2, kLongestLoadPauseMs);
    }
}

}  // namespace quorane::updater
