// Finding and opening the archives.
#include "Archives.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <vector>

#include <quorane/Utils.h>

#include "BundleSwap.h"
#include "InstallTree.h"

namespace quorane::updater {
namespace {

bool IsBundleName(const std::string& name) {
    return std::find(std::begin(kBundleNames), std::end(kBundleNames), name) !=
           std::end(kBundleNames);
}

}  // namespace

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

}  // namespace quorane::updater
