// The bundle swap in its phases: plan, move the bundles aside, unpack, then
// keep the new bundles or put the old ones back.
//
// Every step works relative to one descriptor of the install directory, so
// nothing depends on the working directory once that is open, and nothing
// renamed or planted in the install directory meanwhile can lead a step
// elsewhere: bundle names are looked at without following links, removals go
// directory descriptor by directory descriptor, and unzip reads the archive
// that was checked, through its open descriptor.
#include "BundleSwap.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <boost/format.hpp>

#include <quorane/Utils.h>

#include "Archives.h"
#include "BackupNumbers.h"
#include "InstallTree.h"
#include "platform/Flush.h"
#include "platform/Rename.h"
#include "platform/TreeWalk.h"

namespace quorane::updater {
namespace {

struct Bundle {
    std::string name;
    std::string backupName;
    bool backedUp = false;  // this run moved the bundle to backupName
};

// What a swap works on, fixed before anything is touched.
struct SwapPlan {
    int install = -1;                 // the locked install directory, open for the whole run
    std::array<Archive, 2> archives;  // in unpacking order: the second, then the first
    std::array<Bundle, 2> bundles;
    std::vector<std::string> backupNames;  // of both bundles
    PresentLinks linksBefore;              // the user's links outside the bundles, never judged
};

// A backup number whose two backup names are free: neither is an existing
// entry (a dangling link included) nor one of the archives, and no entry of
// an archive is on a path through either (`named`). Drawn at random; after a
// thousand taken draws the numbers are tried in order.
std::optional<int> ChooseBackupNumber(const SwapPlan& plan, const BackupNumbers& named,
                                      const SwapWorld& world) {
    auto taken = [&](int number) {
        if (named[static_cast<std::size_t>(number)]) return true;
        for (const char* bundle : kBundleNames) {
            const std::string name = BackupName(bundle, number);
            for (const Archive& archive : plan.archives) {
                if (name == archive.name) return true;
            }
            if (EntryKind(plan.install, name) || errno != 0) return true;
        }
        return false;
    };
    for (int draw = 0; draw < 1000; ++draw) {
        const int number = world.drawNumber();
        if (number >= 0 && number <= 999 && !taken(number)) return number;
    }
    for (int number = 0; number <= 999; ++number) {
        if (!taken(number)) return number;
    }
    return std::nullopt;
}

// The backup numbers that the present archives may name; nothing when one
// cannot be read.
std::optional<BackupNumbers> BackupsNamedByArchives(const SwapPlan& plan) {
    BackupNumbers named;
    for (const Archive& archive : plan.archives) {
        if (archive.file.valid() && !MarkNamedBackups(archive.file.get(), named))
            return std::nullopt;
    }
    return named;
}

// The descriptors a swap may need on top of those it holds once planned: a
// walk of a tree, and one more while a program is being started (its
// standard input is opened before it runs).
constexpr int kDescriptorsToFinish = platform::kMaxWalkDescriptors + 2;

// Whether that many descriptors can be opened now. Nothing else is opened
// while the swap runs, so a swap that has them can finish whatever the
// open-file limit, and one that has not is never started.
bool CanFinish(int install) {
    std::vector<FileDescriptor> spare;
    spare.reserve(kDescriptorsToFinish);
    for (int i = 0; i < kDescriptorsToFinish; ++i) {
        spare.emplace_back(::fcntl(install, F_DUPFD_CLOEXEC, 0));
        if (!spare.back().valid()) return false;
    }
    return true;
}

// Checks both archives in the open install directory and picks the backup
// names; nothing when the swap must not start.
std::optional<SwapPlan> PlanSwap(int install, const std::string& firstName,
                                 const std::string& secondName, const SwapWorld& world) {
    const std::optional<std::string> first = NormalisedArchiveName(firstName);
    const std::optional<std::string> second = NormalisedArchiveName(secondName);
    if (!first || !second) return std::nullopt;

    SwapPlan plan;
    plan.install = install;
    std::optional<Archive> firstArchive = FindArchive(install, *first);
    std::optional<Archive> secondArchive = FindArchive(install, *second);
    if (!firstArchive || !secondArchive) return std::nullopt;
    plan.archives = {std::move(*secondArchive), std::move(*firstArchive)};
    if (!CanFinish(install)) return std::nullopt;

    const std::optional<BackupNumbers> named = BackupsNamedByArchives(plan);
    if (!named) return std::nullopt;
    const std::optional<int> number = ChooseBackupNumber(plan, *named, world);
    if (!number) return std::nullopt;
    for (std::size_t i = 0; i < plan.bundles.size(); ++i) {
        plan.bundles[i].name = kBundleNames[i];
        plan.bundles[i].backupName = BackupName(kBundleNames[i], *number);
        plan.backupNames.push_back(plan.bundles[i].backupName);
    }
    // The links already there are the user's; what cannot be read through
    // could not be told from what an archive makes.
    std::optional<PresentLinks> links = LinksOutsideBundles(install, plan.backupNames);
    if (!links) return std::nullopt;
    plan.linksBefore = std::move(*links);
    return plan;
}

void RemoveArchives(const SwapPlan& plan) {
    for (const Archive& archive : plan.archives) {
        if (archive.present) (void)::unlinkat(archive.directory.get(), archive.fileName.c_str(), 0);
    }
}

// Moves whatever entry sits under each bundle name (a dangling link
// included) to its backup name. When one cannot be told or moved, puts back
// what was moved and returns false.
bool MoveAside(SwapPlan& plan) {
    const int install = plan.install;
    for (Bundle& bundle : plan.bundles) {
        bool moved = false;
        if (EntryKind(install, bundle.name)) {
            moved =
                ::renameat(install, bundle.name.c_str(), install, bundle.backupName.c_str()) == 0;
            bundle.backedUp = moved;
        } else {
            moved = errno == 0;  // nothing there to move
        }
        if (moved) continue;
        for (const Bundle& aside : plan.bundles) {
            if (aside.backedUp) TryRename(install, aside.backupName, aside.name);
        }
        return false;
    }
    return true;
}

// Each bundle name is either free or a real directory: one that unzip made a
// link or a file would send the next archive's entries, or the agent, through
// it.
bool BundleNamesSound(const SwapPlan& plan) {
    for (const Bundle& bundle : plan.bundles) {
        const std::optional<mode_t> kind = EntryKind(plan.install, bundle.name);
        if (kind ? *kind != S_IFDIR : errno != 0) return false;
    }
    return true;
}

// Unpacks the archives in order into the install directory. False as soon as
// one that is there does not unpack cleanly, leaves a bundle name that is not
// a real directory, or, with another archive still to come, made a link that
// may lead out of its bundle or, outside the bundles, out of the install
// directory or into a backup; nothing more is unpacked then. A missing archive is no
// failure in itself: the other may carry both bundles.
bool Unpack(const SwapPlan& plan, const SwapWorld& world) {
    for (const Archive& archive : plan.archives) {
        if (!archive.present) continue;
        const bool another = &archive == plan.archives.data() && plan.archives[1].present;
        if (!archive.file.valid()) return false;  // there, but not readable
        // unzip reads the open archive under a name that holds no pattern
        // characters and cannot have been replaced since it was checked, and
        // writes into the directory that was locked and checked, whatever its
        // name means by now.
        ProgramSetup setup;
        setup.passedFd = archive.file.get();
        setup.workingDirectory = plan.install;
        const ProgramResult result =
            world.runProgram({"unzip", "-o", kPassedFileName, "-d", "."}, setup);
        if (!result.Clean() || !BundleNamesSound(plan)) return false;
        if (another && !CreatedLinksStayInside(plan.install, plan.linksBefore, plan.backupNames))
            return false;
    }
    return true;
}

// Keeps the new bundles: flushes them to disk, then removes the backups and
// the archives. False, with nothing removed, when the flush fails.
bool KeepNewBundles(const SwapPlan& plan) {
    // Everything in the install directory's filesystem, the new bundles'
    // files, directories and names included, is on disk before the first old
    // file is removed: one call, however many files the bundles hold.
    if (!platform::FlushFileSystem(plan.install)) return false;
    for (const Bundle& bundle : plan.bundles) {
        if (bundle.backedUp) RemoveTree(plan.install, bundle.backupName.c_str());
    }
    RemoveArchives(plan);
    return true;
}

// Frees the name of `bundle`, which what was unpacked still holds, in one
// step where it can: with a backup, the two entries are exchanged, so the
// old bundle has its name back at once and what was unpacked goes under the
// backup name; without one, what was unpacked is moved to the backup name,
// which is free. Where the file system cannot exchange names, what was
// unpacked is moved aside under a name of its own first. What was unpacked
// is then removed from wherever it went, if it can be. False when the name
// could not be freed.
bool FreeBundleName(int install, const Bundle& bundle) {
    const char* name = bundle.name.c_str();
    const char* backup = bundle.backupName.c_str();
    if (!bundle.backedUp) {
        if (::renameat(install, name, install, backup) != 0) return false;
        (void)RemoveTree(install, backup);
        return true;
    }
    if (platform::ExchangeEntries(install, name, backup)) {
        (void)RemoveTree(install, backup);
        return true;
    }
    // A name no archive can have made: every backup number an archive
    // names was ruled out, and this one was drawn. Spelled without
    // allocating, as memory may be what ran out.
    std::array<char, 64> discarded{};
    const int length = std::snprintf(discarded.data(), discarded.size(), "%s.unpacked", backup);
    if (length < 0 || static_cast<std::size_t>(length) >= discarded.size()) return false;
    if (::renameat(install, name, install, discarded.data()) != 0) return false;
    TryRename(install, bundle.backupName, bundle.name);
    (void)RemoveTree(install, discarded.data());
    return true;
}

// Removes what was unpacked and the archives, then puts the backups back and
// flushes the install directory's names. A bundle name that what was
// unpacked still holds, because not all of it could be removed, is freed
// first (FreeBundleName), so that the old bundle comes back all the same.
void RestoreOldBundles(const SwapPlan& plan) {
    const int install = plan.install;
    std::array<bool, std::size(kBundleNames)> removed{};
    for (std::size_t i = 0; i < plan.bundles.size(); ++i)
        removed[i] = RemoveTree(install, plan.bundles[i].name.c_str());
    RemoveArchives(plan);
    for (std::size_t i = 0; i < plan.bundles.size(); ++i) {
        const Bundle& bundle = plan.bundles[i];
        if (!removed[i] && FreeBundleName(install, bundle)) continue;
        if (bundle.backedUp) TryRename(install, bundle.backupName, bundle.name);
    }
    (void)::fsync(install);
}

}  // namespace

std::string BackupName(const std::string& bundleName, int number) {
    return (boost::format("%s.%d") % bundleName % number).str();
}

SwapOutcome SwapBundles(int installDirectory, const std::string& firstArchiveName,
                        const std::string& secondArchiveName, const SwapWorld& world) {
    if (installDirectory < 0 || !world.canUnpack) return SwapOutcome::Skipped;
    std::optional<SwapPlan> plan =
        PlanSwap(installDirectory, firstArchiveName, secondArchiveName, world);
    if (!plan) return SwapOutcome::Skipped;
    if (!MoveAside(*plan)) return SwapOutcome::RolledBack;

    // From here on the old bundles are under their backup names: whatever
    // happens, even memory running out in the middle of a check, ends in
    // the new bundles kept or the old ones put back.
    bool complete = false;
    try {
        complete = Unpack(*plan, world) && IsRealDirectory(plan->install, kBundleNames[0]) &&
                   IsRealDirectory(plan->install, kBundleNames[1]);
    } catch (...) {
        complete = false;  // what was unpacked cannot be vouched for
    }
    if (complete && KeepNewBundles(*plan)) return SwapOutcome::Replaced;
    RestoreOldBundles(*plan);
    return SwapOutcome::Restored;
}

SwapOutcome SwapBundles(const std::string& installDir, const std::string& firstArchiveName,
                        const std::string& secondArchiveName, const SwapWorld& world) {
    const FileDescriptor install(::open(installDir.c_str(), kDirectoryFlags));
    return SwapBundles(install.get(), firstArchiveName, secondArchiveName, world);
}

InstallDirectoryLock::InstallDirectoryLock(const std::string& installDir)
    : directory_(::open(installDir.c_str(), kDirectoryFlags)) {
    if (!directory_.valid()) return;
    while (::flock(directory_.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            directory_ = FileDescriptor();
            return;
        }
    }
}

}  // namespace quorane::updater
