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

#include "platform/Rename.h"
#include "platform/TreeWalk.h"

namespace quorane::updater {
namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// The backup numbers, each marked when something rules it out.
using BackupNumbers = std::bitset<1000>;

struct Bundle {
    std::string name;
    std::string backupName;
    bool backedUp = false;  // this run moved the bundle to backupName
};

struct Archive {
    std::string name;          // relative to the install directory, "." and ".." resolved
    FileDescriptor directory;  // the directory that holds it, when that exists
    std::string fileName;      // its name in that directory
    FileDescriptor file;       // open for reading when it is there and readable
    bool present = false;      // a regular file of that name is there
};

// What a swap works on, fixed before anything is touched.
struct SwapPlan {
    int install = -1;                 // the locked install directory, open for the whole run
    std::array<Archive, 2> archives;  // in unpacking order: the second, then the first
    std::array<Bundle, 2> bundles;
};

bool IsBundleName(const std::string& name) {
    return std::find(std::begin(kBundleNames), std::end(kBundleNames), name) !=
           std::end(kBundleNames);
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The archive name with "." and ".." resolved lexically, or nothing when it
// climbs out of the install directory, names the directory itself or passes
// through a bundle.
std::optional<std::string> NormalisedArchiveName(const std::string& name) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (start <= name.size()) {
        std::string::size_type end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        const std::string part = name.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (parts.empty()) return std::nullopt;
            parts.pop_back();
            continue;
        }
        if (parts.empty() && IsBundleName(part)) return std::nullopt;
        parts.push_back(part);
    }
    if (parts.empty()) return std::nullopt;
    std::string normalised = parts.front();
    for (std::size_t i = 1; i < parts.size(); ++i)
        normalised = AppendPathToString(normalised, parts[i]);
    return normalised;
}

// Climbs from the open directory `dir` through its parents: true when it
// meets `top`, `below` then holding the directory just under `top` on the
// way (unset when `dir` is `top` itself). No path is resolved, and no working
// directory is needed.
bool ClimbsTo(int dir, const struct stat& top, std::optional<struct stat>* below = nullptr) {
    struct stat here {};
    if (::fstat(dir, &here) != 0) return false;
    FileDescriptor climbing;
    for (int level = 0; level < 4096; ++level) {
        if (SameFile(here, top)) return true;
        FileDescriptor parent(
            ::openat(climbing.valid() ? climbing.get() : dir, "..", kDirectoryFlags));
        struct stat parentInfo {};
        if (!parent.valid() || ::fstat(parent.get(), &parentInfo) != 0) return false;
        if (SameFile(parentInfo, here)) return false;  // the root, and no `top` on the way
        if (below != nullptr) *below = here;
        here = parentInfo;
        climbing = std::move(parent);
    }
    return false;
}

// Whether the open directory `dir` is the install directory or lies below it
// outside both bundles.
bool InsideInstall(int dir, int install) {
    struct stat installInfo {};
    std::optional<struct stat> below;
    if (::fstat(install, &installInfo) != 0 || !ClimbsTo(dir, installInfo, &below)) return false;
    for (const char* bundle : kBundleNames) {
        struct stat bundleInfo {};
        if (below && ::fstatat(install, bundle, &bundleInfo, AT_SYMLINK_NOFOLLOW) == 0 &&
            SameFile(bundleInfo, *below))
            return false;
    }
    return true;
}

// Finds and opens the archive, or nothing when it must be refused: it is a
// directory or another kind of file than a regular one (links followed), it
// lies outside the install directory or in a bundle, or its kind cannot be
// told. A missing archive, or one in a directory that does not exist, is no
// reason to refuse; neither is one that may not be read (it fails the swap).
std::optional<Archive> FindArchive(int install, const std::string& name) {
    Archive archive;
    archive.name = name;
    const std::string::size_type slash = name.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : name.substr(0, slash);
    archive.fileName = slash == std::string::npos ? name : name.substr(slash + 1);

    archive.directory = FileDescriptor(::openat(install, directory.c_str(), kDirectoryFlags));
    if (!archive.directory.valid())
        return errno == ENOENT || errno == ENOTDIR ? std::optional<Archive>(std::move(archive))
                                                   : std::nullopt;
    if (!InsideInstall(archive.directory.get(), install)) return std::nullopt;

    struct stat info {};
    if (::fstatat(archive.directory.get(), archive.fileName.c_str(), &info, 0) != 0)
        return errno == ENOENT || errno == ENOTDIR ? std::optional<Archive>(std::move(archive))
                                                   : std::nullopt;
    if (!S_ISREG(info.st_mode)) return std::nullopt;
    archive.present = true;

    // O_NONBLOCK: should a FIFO have taken the name since, opening it must
    // not wait for a writer; the kind of what was opened is checked again.
    archive.file = FileDescriptor(::openat(archive.directory.get(), archive.fileName.c_str(),
                                           O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!archive.file.valid()) {
        if (errno == EACCES || errno == EPERM) return archive;
        if (errno == ENOENT) {
            archive.present = false;
            return archive;
        }
        return std::nullopt;
    }
    if (::fstat(archive.file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return archive;
}

// The kind of the entry itself, a symbolic link not followed: nothing when it
// is missing, ENOENT's errno then being 0; errno set when it cannot be told.
std::optional<mode_t> EntryKind(int directory, const std::string& name) {
    struct stat info {};
    if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = 0;
        return info.st_mode & S_IFMT;
    }
    if (errno == ENOENT) errno = 0;
    return std::nullopt;
}

bool IsRealDirectory(int directory, const std::string& name) {
    const std::optional<mode_t> kind = EntryKind(directory, name);
    return kind && *kind == S_IFDIR;
}

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

// Whether the `lower.size()` bytes at `text` spell `lower`, ASCII letters
// compared without case, as a file system that folds case compares names.
bool SpellsFoldingCase(const char* text, const std::string& lower) {
    for (std::size_t i = 0; i < lower.size(); ++i) {
        const char c =
            text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != lower[i]) return false;
    }
    return true;
}

// Marks in `named` every backup number that the bytes of the open archive
// spell after a bundle's name and a dot ("quoranees.app.42", letters in any
// case), each run of up to three digits read as every number it begins with.
// An archive keeps its entry names as they are, in its central directory, its
// local headers and any Unicode name field, so whatever name unzip gives an
// entry, one that leads into a backup is marked; a match by chance inside
// compressed data only rules out one more number. False when the archive
// cannot be read to its end.
bool MarkNamedBackups(int archive, BackupNumbers& named) {
    const std::string prefixes[] = {std::string(kBundleNames[0]) + ".",
                                    std::string(kBundleNames[1]) + "."};
    const std::size_t before = prefixes[0].size() - 1;  // bytes ahead of the dot
    constexpr std::size_t kDigits = 3, kChunk = std::size_t{1} << 20;

    std::vector<char> data;
    std::size_t kept = 0, scanFrom = 0;
    off_t offset = 0;
    for (;;) {
        data.resize(kept + kChunk);
        const ssize_t count = ::pread(archive, data.data() + kept, kChunk, offset);
        if (count < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        offset += count;
        const bool end = count == 0;
        const std::size_t size = kept + static_cast<std::size_t>(count);
        // A dot is judged once the digits that may follow it are in.
        const std::size_t judged = end ? size : size > kDigits ? size - kDigits : 0;
        for (std::size_t at = scanFrom; at < judged; ++at) {
            const void* dot = std::memchr(data.data() + at, '.', judged - at);
            if (dot == nullptr) break;
            at = static_cast<std::size_t>(static_cast<const char*>(dot) - data.data());
            if (at < before) continue;
            const char* name = data.data() + at - before;
            if (!SpellsFoldingCase(name, prefixes[0]) && !SpellsFoldingCase(name, prefixes[1]))
                continue;
            std::size_t number = 0;
            for (std::size_t digit = at + 1; digit < size && digit <= at + kDigits; ++digit) {
                if (data[digit] < '0' || data[digit] > '9') break;
                number = number * 10 + static_cast<std::size_t>(data[digit] - '0');
                named[number] = true;
            }
        }
        if (end) return true;
        // Keep what a match that ends in the next chunk still needs.
        const std::size_t carryFrom = judged > before ? judged - before : 0;
        std::copy(data.begin() + static_cast<std::ptrdiff_t>(carryFrom),
                  data.begin() + static_cast<std::ptrdiff_t>(size), data.begin());
        kept = size - carryFrom;
        scanFrom = judged - carryFrom;
    }
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
    }
    return plan;
}

// The cleanup steps report nothing: a step that fails leaves its entry in
// place and the next step runs all the same.
void TryRename(int directory, const std::string& from, const std::string& to) {
    (void)::renameat(directory, from.c_str(), directory, to.c_str());
}

// Lets the updater's user empty a directory it owns: adds the owner's read,
// write and search permissions where any is missing. Opened without following
// a link and changed through that descriptor, so nothing else can be changed
// in its place; a directory that cannot even be opened for reading is
// changed by name after its status shows it is a directory of the user's.
void MakeEmptiable(int parent, const char* name) {
    const uid_t user = ::geteuid();
    if (user == 0) return;  // nothing keeps the superuser out
    struct stat info {};
    if (::fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != user || (info.st_mode & S_IRWXU) == S_IRWXU)
        return;
    const mode_t usable = (info.st_mode & 07777) | S_IRWXU;
    const FileDescriptor directory(::openat(parent, name, kDirectoryFlags | O_NOFOLLOW));
    if (directory.valid()) {
        struct stat opened {};
        if (::fstat(directory.get(), &opened) == 0 && SameFile(opened, info))
            (void)::fchmod(directory.get(), usable);
    } else if (errno == EACCES) {
        (void)::fchmodat(parent, name, usable, 0);
    }
}

// Removes the entry `name` of `parent` and, when it is a directory,
// everything below it, at any depth with a fixed number of descriptors.
// Symbolic links are removed, never followed; a directory renamed or
// replaced by a link meanwhile can leave entries behind but never leads the
// removal out of the tree; nothing on another file system is entered, so a
// mount point and the directories leading to it stay. Directories of the
// user's that could not be emptied for want of permission are made
// emptiable first. What cannot be removed stays, and so does the rest when
// the walk itself cannot go on (memory runs out for the names of a huge
// directory): a removal never ends the swap. True when the entry is gone.
bool RemoveTree(int parent, const char* name) {
    platform::WalkOptions options;
    options.stayOnFileSystem = true;
    try {
        (void)platform::WalkTree(
            parent, name,
            [](const platform::WalkEntry& entry) {
                switch (entry.event) {
                    case platform::WalkEvent::Entry:
                        (void)::unlinkat(entry.parent, entry.name, 0);
                        break;
                    case platform::WalkEvent::EnterDirectory:
                        MakeEmptiable(entry.parent, entry.name);
                        break;
                    case platform::WalkEvent::LeaveDirectory:
                        (void)::unlinkat(entry.parent, entry.name, AT_REMOVEDIR);
                        break;
                    case platform::WalkEvent::Error:
                    case platform::WalkEvent::OtherFileSystem:
                        break;  // what cannot be removed stays; the rest goes
                }
                return platform::WalkAction::Continue;
            },
            options);
    } catch (const std::exception&) {
        // The walk gave up part way; whatever it did not reach stays.
    }
    struct stat info {};
    return ::fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
}

// Whether the link target `target`, read from a directory `level` levels
// below the top of its bundle, stays inside the bundle whatever the names on
// its way turn out to be. It must be relative, and may climb ("..") only
// before its first name, and no higher than the top: a ".." after a name
// would climb from wherever that name leads, which may be another link.
// Every link that passes leads, through real directories and further links
// that pass, to a place inside the bundle.
bool StaysInBundle(const std::string& target, std::size_t level) {
    if (target.empty() || target[0] == '/') return false;
    bool named = false;
    std::string::size_type start = 0;
    while (start <= target.size()) {
        std::string::size_type end = target.find('/', start);
        if (end == std::string::npos) end = target.size();
        const std::string::size_type length = end - start;
        const bool dot = length == 1 && target[start] == '.';
        const bool dotDot = length == 2 && target.compare(start, 2, "..") == 0;
        start = end + 1;
        if (length == 0 || dot) continue;
        if (!dotDot) {
            named = true;
        } else if (named || level == 0) {
            return false;
        } else {
            --level;
        }
    }
    return true;
}

// Whether every symbolic link in the bundle `name` stays inside it, judged by
// its target text, not by what the target is now: an entry of a later
// archive may make a target that leads nowhere yet lead out. A bundle that
// is not there passes; one that cannot be read through fails.
bool LinksStayInside(int install, const char* name) {
    if (!IsRealDirectory(install, name)) return errno == 0;
    return platform::WalkTree(install, name, [](const platform::WalkEntry& entry) {
        if (entry.event == platform::WalkEvent::Error) return platform::WalkAction::Stop;
        if (entry.event != platform::WalkEvent::Entry || entry.type != DT_LNK)
            return platform::WalkAction::Continue;
        std::string target(256, '\0');
        for (;;) {
            const ssize_t length =
                ::readlinkat(entry.parent, entry.name, target.data(), target.size());
            if (length < 0) return platform::WalkAction::Stop;
            if (static_cast<std::size_t>(length) < target.size()) {
                target.resize(static_cast<std::size_t>(length));
                break;
            }
            target.resize(target.size() * 2);
        }
        // The link's directory is one level above the link itself.
        return StaysInBundle(target, entry.depth - 1) ? platform::WalkAction::Continue
                                                      : platform::WalkAction::Stop;
    });
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

// No bundle holds a link that may lead out of it.
bool BundleLinksSound(const SwapPlan& plan) {
    for (const Bundle& bundle : plan.bundles) {
        if (!LinksStayInside(plan.install, bundle.name.c_str())) return false;
    }
    return true;
}

// Unpacks the archives in order into the install directory. False as soon as
// one that is there does not unpack cleanly, leaves a bundle name that is not
// a real directory, or, with another archive still to come, leaves a link out
// of a bundle; nothing more is unpacked then. A missing archive is no
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
        if (another && !BundleLinksSound(plan)) return false;
    }
    return true;
}

// Keeps the new bundles: flushes them to disk, then removes the backups and
// the archives. False, with nothing removed, when the flush fails.
bool KeepNewBundles(const SwapPlan& plan) {
    // Everything in the install directory's filesystem, the new bundles'
    // files, directories and names included, is on disk before the first old
    // file is removed: one call, however many files the bundles hold.
    if (::syncfs(plan.install) != 0) return false;
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
    if (installDirectory < 0) return SwapOutcome::Skipped;
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
