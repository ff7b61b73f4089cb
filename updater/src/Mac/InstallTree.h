// Operations on the install tree, all relative to open directory descriptors:
// the kind of an entry, climbing to an ancestor, removing a tree without
// following a link, and judging where symbolic links may lead.
#ifndef QUORANE_UPDATER_INSTALL_TREE_H
#define QUORANE_UPDATER_INSTALL_TREE_H

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace quorane::updater {

inline constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

inline bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The kind of the entry itself, a symbolic link not followed: nothing when it
// is missing, ENOENT's errno then being 0; errno set when it cannot be told.
std::optional<mode_t> EntryKind(int directory, const std::string& name);

bool IsRealDirectory(int directory, const std::string& name);

// Climbs from the open directory `dir` through its parents: true when it
// meets `top`, `below` then holding the directory just under `top` on the
// way (unset when `dir` is `top` itself). No path is resolved, and no working
// directory is needed.
bool ClimbsTo(int dir, const struct stat& top, std::optional<struct stat>* below = nullptr);

// Renames within one directory and reports nothing: a cleanup step that fails
// leaves its entry in place and the next step runs all the same.
void TryRename(int directory, const std::string& from, const std::string& to);

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
bool RemoveTree(int parent, const char* name);

// Whether the link target `target`, read from a directory `level` levels
// below a top directory, stays below that top whatever the names on its way
// turn out to be. It must be relative, and may climb ("..") only before its
// first name, and no higher than the top: a ".." after a name would climb
// from wherever that name leads, which may be another link. Every link that
// passes leads, through real directories and further links that pass, to a
// place below the top. When the target's first name is one of the top's own
// entries, that name must not be one of `shunned` (ASCII letters compared
// without case, as a file system that folds case compares names).
bool StaysBelow(const std::string& target, std::size_t level,
                const std::vector<std::string>& shunned = {});

// The symbolic links of the install directory outside the bundles, as found
// before anything was unpacked: the user's own, never judged.
class PresentLinks {
public:
    void Add(const struct stat& link, std::size_t depth, const std::string& target) {
        links_.emplace(link.st_dev, link.st_ino, depth, target);
    }
    bool Has(const struct stat& link, std::size_t depth, const std::string& target) const {
        return links_.count({link.st_dev, link.st_ino, depth, target}) != 0;
    }

private:
    std::set<std::tuple<dev_t, ino_t, std::size_t, std::string>> links_;
};

// The links of the install directory that an unzip into it can reach: every
// entry below it but the entries named in `unreachable` (this run's backups,
// which no archive entry names). Nothing when a directory on the way cannot
// be read through.
std::optional<PresentLinks> LinksOutsideBundles(int install,
                                                const std::vector<std::string>& unreachable);

// Whether every symbolic link an unzip created in the install directory
// stays where the next unzip may write: a link in a bundle stays inside that
// bundle, and one elsewhere that was not among `before` stays inside the
// install directory and leads into none of `unreachable`. Judged by the
// target text, not by what the target is now: an entry of a later archive
// may make a target that leads nowhere yet lead out. A link outside the
// bundles that fails is removed (it is this run's own, and a later run would
// take it for the user's); one in a bundle goes with the bundle. False when
// a link fails or a directory on the way cannot be read through.
bool CreatedLinksStayInside(int install, const PresentLinks& before,
                            const std::vector<std::string>& unreachable);

}  // namespace quorane::updater

#endif  // QUORANE_UPDATER_INSTALL_TREE_H
