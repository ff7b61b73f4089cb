// The bundle swap: back up, unpack, verify, then clean up or restore.
#include "BundleSwap.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/format.hpp>

#include "Utils.h"

namespace quorane::updater {
namespace {

namespace fs = boost::filesystem;
using boost::system::error_code;

struct Bundle {
    std::string name;
    std::string path;
    std::string backupPath;
    bool backedUp = false;  // this run moved the bundle to backupPath
};

bool IsBundleName(const std::string& name) {
    return std::find(std::begin(kBundleNames), std::end(kBundleNames), name) !=
           std::end(kBundleNames);
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
    for (std::size_t i = 1; i < parts.size(); ++i) normalised += "/" + parts[i];
    return normalised;
}

// Follows symbolic links. Missing, or something on the way that is not a
// directory, is false; any other failure throws.
bool Exists(const std::string& path) { return fs::exists(fs::status(path)); }

// Whether the archive's directory, with symbolic links resolved, is the
// install directory or below it, outside both bundles. A directory that does
// not exist holds no archive and cannot mislead the removal.
bool ResolvesInsideInstall(const std::string& archivePath, const std::string& installDir) {
    const fs::path parent = fs::path(archivePath).parent_path();
    if (!Exists(parent.string())) return true;
    const fs::path root = fs::canonical(installDir);
    const fs::path resolved = fs::canonical(parent);
    auto mismatch = std::mismatch(root.begin(), root.end(), resolved.begin(), resolved.end());
    if (mismatch.first != root.end()) return false;
    return mismatch.second == resolved.end() || !IsBundleName(mismatch.second->string());
}

// Whether the archive must be refused before anything is touched.
bool RefuseArchive(const std::string& archivePath, const std::string& installDir) {
    try {
        return fs::is_directory(fs::status(archivePath)) ||
               !ResolvesInsideInstall(archivePath, installDir);
    } catch (const fs::filesystem_error&) {
        return true;  // cannot tell where it leads
    }
}

// A backup number whose two backup names are free: neither is an existing
// entry (a dangling link included) nor one of the archives. Drawn at random;
// after a thousand taken draws the numbers are tried in order.
std::optional<int> ChooseBackupNumber(const std::string& installDir,
                                      const std::array<std::string, 2>& archiveNames,
                                      const SwapWorld& world) {
    auto taken = [&](int number) {
        for (const char* bundle : kBundleNames) {
            const std::string name = BackupName(bundle, number);
            if (name == archiveNames[0] || name == archiveNames[1]) return true;
            error_code ec;
            const fs::file_status status =
                fs::symlink_status(AppendPathToString(installDir, name), ec);
            if (status.type() != fs::file_not_found) return true;  // also when unknown
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

// unzip would take an archive path beginning with "-" for options. (The
// argument after -d is always its destination, so that one stays verbatim.)
std::string AsProgramArgument(const std::string& path) {
    return !path.empty() && path.front() == '-' ? "./" + path : path;
}

// Existence where an unreadable status is given the caller's answer.
bool ExistsOr(const std::string& path, bool whenUnknown) {
    try {
        return Exists(path);
    } catch (const fs::filesystem_error&) {
        return whenUnknown;
    }
}

// The cleanup steps report nothing: a step that fails leaves its entry in
// place and the next step runs all the same.
void TryRename(const std::string& from, const std::string& to) {
    error_code ec;
    fs::rename(from, to, ec);
}

void TryRemove(const std::string& path) {
    error_code ec;
    fs::remove(path, ec);
}

void TryRemoveAll(const std::string& path) {
    error_code ec;
    fs::remove_all(path, ec);
}

}  // namespace

std::string BackupName(const std::string& bundleName, int number) {
    return (boost::format("%s.%d") % bundleName % number).str();
}

SwapOutcome SwapBundles(const std::string& installDir, const std::string& firstArchiveName,
                        const std::string& secondArchiveName, const SwapWorld& world) {
    const std::optional<std::string> firstName = NormalisedArchiveName(firstArchiveName);
    const std::optional<std::string> secondName = NormalisedArchiveName(secondArchiveName);
    if (!firstName || !secondName) return SwapOutcome::Skipped;

    const std::string firstArchive = AppendPathToString(installDir, firstArchiveName);
    const std::string secondArchive = AppendPathToString(installDir, secondArchiveName);
    if (RefuseArchive(firstArchive, installDir) || RefuseArchive(secondArchive, installDir))
        return SwapOutcome::Skipped;

    const std::optional<int> number =
        ChooseBackupNumber(installDir, {*firstName, *secondName}, world);
    if (!number) return SwapOutcome::Skipped;

    std::array<Bundle, 2> bundles;
    for (std::size_t i = 0; i < bundles.size(); ++i) {
        bundles[i].name = kBundleNames[i];
        bundles[i].path = AppendPathToString(installDir, bundles[i].name);
        bundles[i].backupPath =
            AppendPathToString(installDir, BackupName(bundles[i].name, *number));
    }

    try {
        for (Bundle& bundle : bundles) {
            if (Exists(bundle.path)) {
                fs::rename(bundle.path, bundle.backupPath);
                bundle.backedUp = true;
            }
        }
    } catch (const fs::filesystem_error&) {
        for (const Bundle& bundle : bundles) {
            if (bundle.backedUp) TryRename(bundle.backupPath, bundle.path);
        }
        return SwapOutcome::RolledBack;
    }

    // The second archive goes first, so that the first one's files win where
    // both hold the same entry. A missing archive is no failure in itself (the
    // other one may carry both bundles), but one that is there and does not
    // unpack cleanly fails the swap even if it left both bundle directories.
    bool unpackedCleanly = true;
    for (const std::string* archive : {&secondArchive, &firstArchive}) {
        const bool present = ExistsOr(*archive, true);
        const ProgramResult result =
            world.runProgram({"unzip", "-o", AsProgramArgument(*archive), "-d", installDir});
        if (present && !result.Clean()) unpackedCleanly = false;
    }

    const bool replaced =
        unpackedCleanly && ExistsOr(bundles[0].path, false) && ExistsOr(bundles[1].path, false);
    if (replaced) {
        for (const Bundle& bundle : bundles) {
            if (bundle.backedUp) TryRemoveAll(bundle.backupPath);
        }
        TryRemove(firstArchive);
        TryRemove(secondArchive);
        return SwapOutcome::Replaced;
    }

    for (const Bundle& bundle : bundles) TryRemoveAll(bundle.path);
    TryRemove(firstArchive);
    TryRemove(secondArchive);
    for (const Bundle& bundle : bundles) {
        if (bundle.backedUp) TryRename(bundle.backupPath, bundle.path);
    }
    return SwapOutcome::Restored;
}

}  // namespace quorane::updater
