// Replacing the agent's two bundles with the contents of two zip archives.
#ifndef QUORANE_UPDATER_BUNDLE_SWAP_H
#define QUORANE_UPDATER_BUNDLE_SWAP_H

#include <string>

#include "OutsideWorld.h"
#include "base/FileDescriptor.h"

namespace quorane::updater {

inline constexpr const char* kBundleNames[] = {"quoranees.app", "quoraneet.app"};

enum class SwapOutcome {
    Skipped,     // nothing was touched: the install directory could not be opened, an archive
                 // was refused or no backup name was free
    RolledBack,  // moving the bundles aside failed; what had been moved is back
    Replaced,    // both new bundles are in place and on disk; backups and archives are gone
    Restored,    // the new bundles did not both arrive; the old ones are back
};

// Moves the bundles in the open install directory aside, unpacks the second
// and then the first archive into that directory (never through its name), and keeps the result
// when every present archive unpacked cleanly and both bundles are real directories; otherwise
// removes what was unpacked and puts the old bundles back. The archives are removed in both cases.
// An archive that is a directory or any other kind of file than a regular one, or that lies outside
// the install directory or inside a bundle, skips the swap. Only the two archives, the two bundle
// names and this run's own backups are ever deleted, never through a symbolic link, and the new
// bundles are flushed to disk before the first old file goes. The backup
// number is one whose names no entry of either archive can reach. No
// filesystem error ends the swap before its last step. Skipped when
// `installDirectory` is -1.
SwapOutcome SwapBundles(int installDirectory, const std::string& firstArchiveName,
                        const std::string& secondArchiveName, const SwapWorld& world);

// The same, in the directory `installDir` names, opened once for the swap.
SwapOutcome SwapBundles(const std::string& installDir, const std::string& firstArchiveName,
                        const std::string& secondArchiveName, const SwapWorld& world);

// "<bundle>.<number>", e.g. quoranees.app.42.
std::string BackupName(const std::string& bundleName, int number);

// An exclusive advisory lock on the install directory itself, held for as
// long as the object lives, so that runs on one directory take turns. Waits
// for a run that holds it. Locks nothing when the directory cannot be opened.
class InstallDirectoryLock {
public:
    explicit InstallDirectoryLock(const std::string& installDir);

    // The locked directory, open for reading; -1 when it could not be opened
    // or locked. Everything the run does in the install directory goes
    // through this descriptor.
    int directory() const { return directory_.get(); }

private:
    FileDescriptor directory_;
};

}  // namespace quorane::updater

#endif  // QUORANE_UPDATER_BUNDLE_SWAP_H
