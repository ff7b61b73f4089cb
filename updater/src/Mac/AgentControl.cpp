// Stopping and restarting the resident agent.
#include "AgentControl.h"

namespace quorane::updater {
namespace {

void RunKillSequence(const AgentWorld& world) {
    for (const char* prefix : kKillPrefixes) {
        for (const char* name : kAgentProcessNames)
            world.runShell(std::string(prefix) + " " + name);
    }
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

void StopAgent(const AgentWorld& world) {
    world.runShell(kUnloadCommand);
    RunKillSequence(world);
    world.sleep(1);

    for (int budget = kWaitChecks; budget > 0; --budget) {
        if (!ExistProcess(world)) return;
        world.sleep(1);
        RunKillSequence(world);
    }
    // After the last check that still found the agent the update goes on.
}

void StartAgent(const AgentWorld& world) { world.runShell(kLoadCommand); }

}  // namespace quorane::updater
