// quorane-update INSTALL_DIR FIRST_ARCHIVE SECOND_ARCHIVE
//
// Stops the agent, swaps its two bundles for the contents of the archives,
// starts the agent again and exits with status 0, whatever happened. An
// incomplete command line skips the swap but not the agent restart. Hang-up,
// interrupt, quit and terminate requests are held until the agent is loaded
// again and take effect then. Runs on the same install directory take turns.
// Every program it starts is found before anything is unpacked, and gets an
// environment the updater chose.
#include <cstddef>
#include <cstdlib>
#include <string>

#include "AgentControl.h"
#include "BundleSwap.h"
#include "OutsideWorld.h"

namespace {

// What the load of the agent may need to be started, set aside for it: a
// stack for the new process and its settings, with room to spare.
constexpr std::size_t kSpareBytes = std::size_t{1} << 20;

}  // namespace

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
    const std::string firstArchive = argument(2);
    const std::string secondArchive = argument(3);

    // A second run on this install directory waits here, before it stops the
    // agent, until the first one has loaded it again. Still interruptible.
    // The swap works in the directory locked here, whatever its name means
    // later.
    const InstallDirectoryLock lock(installDir);

    // Every program is found now, before anything can be unpacked, and never
    // in the install directory; what the agent commands and unzip need to
    // start is made now too, and memory for the load set aside. Without that
    // memory the agent is left as it is.
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the updater is single-threaded
    const Tools tools = FindTools(std::getenv("PATH"), lock.directory());
    SpareMemory spare(kSpareBytes);
    if (!spare) return 0;

    // From here to the end the agent may be unloaded, so a request to stop
    // waits until it is loaded again. What the updater runs gets the signal
    // mask it was started with.
    const TerminationRequestsHeld held;
    const AgentWorld agent = RealAgentWorld(held.NormalMask(), tools);
    try {
        const SwapWorld swap = RealSwapWorld(held.NormalMask(), tools);
        // The swap runs only once the agent is stopped, and never for an
        // incomplete command line.
        if (StopAgent(agent) && !installDir.empty() && !firstArchive.empty() &&
            !secondArchive.empty())
            SwapBundles(lock.directory(), firstArchive, secondArchive, swap);
    } catch (...) {
        // Nothing may keep the agent from being loaded again.
    }

    spare.Release();
    StartAgent(agent);
    return 0;
}
