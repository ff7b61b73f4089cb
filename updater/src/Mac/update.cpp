// quorane-update INSTALL_DIR FIRST_ARCHIVE SECOND_ARCHIVE
//
// Stops the agent, swaps its two bundles for the contents of the archives,
// starts the agent again and exits with status 0, whatever happened. An
// incomplete command line skips the swap but not the agent restart. Hang-up,
// interrupt, quit and terminate requests are held until the agent is loaded
// again and take effect then. Runs on the same install directory take turns.
#include <string>

#include "AgentControl.h"
#include "BundleSwap.h"
#include "OutsideWorld.h"

int main(int argc, char* argv[]) {
    using namespace quorane::updater;

    // Before anything else is opened: a closed standard descriptor would be
    // taken by the next file opened, and unzip's messages written into it.
    OpenClosedStandardDescriptors();
    // Nothing inherited decides how the programs it starts end or what "~"
    // means to them.
    StartFromKnownState();

    auto argument = [&](int index) { return index < argc ? std::string(argv[index]) : ""; };
    const std::string installDir = argument(1);

    // A second run on this install directory waits here, before it stops the
    // agent, until the first one has loaded it again. Still interruptible.
    // The swap works in the directory locked here, whatever its name means
    // later.
    const InstallDirectoryLock lock(installDir);

    // From here to the end the agent may be unloaded, so a request to stop
    // waits until it is loaded again. What the updater runs gets the signal
    // mask it was started with.
    const TerminationRequestsHeld held;
    const AgentWorld agent = RealAgentWorld(held.NormalMask());
    StopAgent(agent);

    // The archive names matter only now, so that the agent is stopped even
    // for a bad command line.
    const std::string firstArchive = argument(2);
    const std::string secondArchive = argument(3);

    if (!installDir.empty() && !firstArchive.empty() && !secondArchive.empty()) {
        try {
            SwapBundles(lock.directory(), firstArchive, secondArchive,
                        RealSwapWorld(held.NormalMask()));
        } catch (...) {
            // Nothing may keep the agent from being loaded again.
        }
    }

    StartAgent(agent);
    return 0;
}
