// Replacing the agent's two bundles with the contents of two zip archives.
#ifndef QUORANE_UPDATER_BUNDLE_SWAP_H
#define QUORANE_UPDATER_BUNDLE_SWAP_H

#include <string>

#include "OutsideWorld.h"

namespace quorane::updater {

inline constexpr const char* kBundleNames[] = {"quoranees.app", "quoraneet.app"};

enum class SwapOutcome {
    Skipped,     // nothing was touched: an archive name was refused or no backup name was free
    RolledBack,  // moving the bundles aside failed; what had been moved is back
    Replaced,    // both new bundles are in place; backups and archives are gone
    Restored,    // the new bundles did not both arrive; the old ones are back
};

// Moves the bundles in `installDir` aside, unpacks the second and then the
// first archive into it, and keeps the result when both bundles exist and
// every present archive unpacked cleanly; otherwise removes what was unpacked
// and puts the old bundles back. The archives are removed in both cases. Only
// the two archives, the two bundles and this run's own backups are ever
// deleted, and no filesystem error ends the swap before its last step.
SwapOutcome SwapBundles(const std::string& installDir, const std::string& firstArchiveName,
                        const std::string& secondArchiveName, const SwapWorld& world);

// "<bundle>.<number>", e.g. quoranees.app.42.
std::string BackupName(const std::string& bundleName, int number);

}  // namespace quorane::updater

#endif  // QUORANE_UPDATER_BUNDLE_SWAP_H
