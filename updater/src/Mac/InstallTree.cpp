// Operations on the install tree, relative to open directory descriptors.
#include "InstallTree.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <iterator>

#include "BundleSwap.h"
#include "base/FileDescriptor.h"
#include "platform/TreeWalk.h"

namespace quorane::updater {
namespace {

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

bool IsBundleName(const char* name) {
    return std::find_if(std::begin(kBundleNames), std::end(kBundleNames), [&](const char* bundle) {
               return std::strcmp(bundle, name) == 0;
           }) != std::end(kBundleNames);
}

bool IsOneOf(const char* name, const std::vector<std::string>& names) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Whether the `length` bytes at `text` spell `name`, ASCII letters compared
// without case.
bool EqualFoldingCase(const char* text, std::size_t length, const std::string& name) {
    if (length != name.size()) return false;
    for (std::size_t i = 0; i < length; ++i) {
        auto fold = [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (fold(text[i]) != fold(name[i])) return false;
    }
    return true;
}

// The target text of the link `name` in `parent`, however long; nothing when
// it cannot be read.
std::optional<std::string> LinkTarget(int parent, const char* name) {
    std::string target(256, '\0');
    for (;;) {
        const ssize_t length = ::readlinkat(parent, name, target.data(), target.size());
        if (length < 0) return std::nullopt;
        if (static_cast<std::size_t>(length) < target.size()) {
            target.resize(static_cast<std::size_t>(length));
            return target;
        }
        target.resize(target.size() * 2);
    }
}

// Where a link was found in the install directory.
struct FoundLink {
    const platform::WalkEntry& entry;
    bool inBundle;  // below a bundle's top directory
    const std::string& target;
};

// Walks every entry below the install directory but the top-level entries
// named in `skipped`, and calls `onLink` for each symbolic link; it answers
// whether the walk goes on. False when it did not, or when a directory on the
// way could not be read through.
template <typename OnLink>
bool ForEachLink(int install, const std::vector<std::string>& skipped, OnLink onLink) {
    bool inBundle = false;
    return platform::WalkBelow(
        ::openat(install, ".", kDirectoryFlags), [&](const platform::WalkEntry& entry) {
            if (entry.event == platform::WalkEvent::Error) return platform::WalkAction::Stop;
            const bool entered = entry.event == platform::WalkEvent::EnterDirectory;
            if (entry.depth == 1 && (entered || entry.event == platform::WalkEvent::Entry)) {
                if (IsOneOf(entry.name, skipped))
                    return entered ? platform::WalkAction::Skip : platform::WalkAction::Continue;
                // The walk is depth first: what follows, down to the next
                // top-level entry, lies in this one.
                inBundle = entered && IsBundleName(entry.name);
            }
            if (entry.event != platform::WalkEvent::Entry || entry.type != DT_LNK)
                return platform::WalkAction::Continue;
            const std::optional<std::string> target = LinkTarget(entry.parent, entry.name);
            if (!target) return platform::WalkAction::Stop;
            return onLink(FoundLink{entry, inBundle, *target}) ? platform::WalkAction::Continue
                                                               : platform::WalkAction::Stop;
        });
}

}  // namespace

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

// Climbs from the open directory `dir` through its parents: true when it
// meets `top`, `below` then holding the directory just under `top` on the
// way (unset when `dir` is `top` itself). No path is resolved, and no working
// directory is needed.

bool ClimbsTo(int dir, const struct stat& top, std::optional<struct stat>* below) {
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

// The cleanup steps report nothing: a step that fails leaves its entry in
// place and the next step runs all the same.

void TryRename(int directory, const std::string& from, const std::string& to) {
    (void)::renameat(directory, from.c_str(), directory, to.c_str());
}

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

bool StaysBelow(const std::string& target, std::size_t level,
                const std::vector<std::string>& shunned) {
    if (target.empty() || target[0] == '/') return false;
    bool named = false;
    std::string::size_type start = 0;
    while (start <= target.size()) {
        std::string::size_type end = target.find('/', start);
        if (end == std::string::npos) end = target.size();
        const std::string::size_type length = end - start;
        const bool dot = length == 1 && target[start] == '.';
        const bool dotDot = length == 2 && target.compare(start, 2, "..") == 0;
        const char* name = target.data() + start;
        start = end + 1;
        if (length == 0 || dot) continue;
        if (!dotDot) {
            if (!named && level == 0) {
                for (const std::string& shun : shunned) {
                    if (EqualFoldingCase(name, length, shun)) return false;
                }
            }
            named = true;
        } else if (named || level == 0) {
            return false;
        } else {
            --level;
        }
    }
    return true;
}

std::optional<PresentLinks> LinksOutsideBundles(int install,
                                                const std::vector<std::string>& unreachable) {
    std::vector<std::string> skipped(std::begin(kBundleNames), std::end(kBundleNames));
    skipped.insert(skipped.end(), unreachable.begin(), unreachable.end());
    PresentLinks links;
    const bool read = ForEachLink(install, skipped, [&](const FoundLink& link) {
        struct stat info {};
        if (::fstatat(link.entry.parent, link.entry.name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        links.Add(info, link.entry.depth, link.target);
        return true;
    });
    if (!read) return std::nullopt;
    return links;
}

bool CreatedLinksStayInside(int install, const PresentLinks& before,
                            const std::vector<std::string>& unreachable) {
    return ForEachLink(install, unreachable, [&](const FoundLink& link) {
        // The link's directory is one level above the link itself, and a
        // bundle's top directory one level below the install directory.
        if (link.inBundle) return StaysBelow(link.target, link.entry.depth - 2);
        struct stat info {};
        if (::fstatat(link.entry.parent, link.entry.name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        if (before.Has(info, link.entry.depth, link.target)) return true;
        if (StaysBelow(link.target, link.entry.depth - 1, unreachable)) return true;
        (void)::unlinkat(link.entry.parent, link.entry.name, 0);
        return false;
    });
}

}  // namespace quorane::updater
