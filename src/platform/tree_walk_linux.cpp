// The tree walker on Linux: directories opened with openat2, which refuses
// every symbolic link on the way and lets one call both open a directory and
// look inside it (openat and a status query where openat2 is missing); the
// listings read with readdir; ancestors opened again through "..".
#ifndef __linux__
#error "Linux implementation of a platform seam: CMake builds another system's own there."
#endif

#include "platform/TreeWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/FileDescriptor.h"

namespace quorane::platform {
namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Directories held open at once: the root and those nearest the bottom. One
// descriptor more is open while a directory is opened or reached again.
constexpr std::size_t kHeldDirectories = kMaxWalkDescriptors - 1;

// Errors of openat2 itself rather than of the path: an older kernel, or a
// sandbox that filters the call.
bool OpenAt2Missing(int error) {
    return error == ENOSYS || error == EPERM || error == EINVAL || error == E2BIG;
}

// A status query that finds nothing there.
bool IsMissing(int error) { return error == ENOENT || error == ENOTDIR; }

bool IsDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

struct ListingCloser {
    void operator()(DIR* listing) const { ::closedir(listing); }
};
using Listing = std::unique_ptr<DIR, ListingCloser>;

// Where a directory was found: compared when the walk gets back to it.
struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    bool known = false;

    void Take(const struct stat& info) {
        device = info.st_dev;
        inode = info.st_ino;
        known = true;
    }
    bool Matches(const struct stat& info) const {
        return known && info.st_dev == device && info.st_ino == inode;
    }
};

// The mount that the entry `name` of `at` (or `at` itself, with
// AT_EMPTY_PATH) lies on, by the kernel's mount ID, a link not followed: a
// directory bind-mounted from the same file system has the root's device but
// not its mount. 0 when the kernel cannot tell.
std::uint64_t MountOf(int at, const char* name, int flags) {
#ifdef STATX_MNT_ID
    struct statx info {};
    if (::statx(at, name, flags | AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_MNT_ID, &info) ==
            0 &&
        (info.stx_mask & STATX_MNT_ID) != 0)
        return info.stx_mnt_id;
#endif
    return 0;
}

}  // namespace

// One walk: the stack of directories from the root down to the one being
// walked, and the visitor.
class TreeWalk {
public:
    TreeWalk(const TreeVisitor& visitor, const WalkOptions& options)
        : visitor_(visitor), options_(options) {}

    bool Tree(int at, const char* name);
    bool Below(int directory);

    // The path of the entry `name` at `depth`, through the directories that
    // lead to it.
    std::string PathOf(std::size_t depth, const char* name) const;

private:
    // A directory on the stack: its name in its parent, the subdirectories
    // its listing gave that are still to be walked, and, while it is held
    // open, its descriptor, owned by its listing when that is still open.
    struct Frame {
        std::string name;
        std::vector<std::string> subdirectories;
        std::size_t next = 0;  // the next subdirectory to walk
        Listing listing;
        FileDescriptor descriptor;  // when held without a listing
        Identity identity;
        int searchError = 0;  // what reaching any of its entries gives
        bool leave = true;    // give its LeaveDirectory event

        int fd() const { return listing ? ::dirfd(listing.get()) : descriptor.get(); }
        bool held() const { return listing || descriptor.valid(); }
        void Close() {
            listing.reset();
            descriptor = FileDescriptor();
        }
    };

    WalkAction Visit(WalkEvent event, int parent, const char* name, unsigned char type,
                     std::size_t depth, int error = 0, WalkFailure failed = WalkFailure::None);
    WalkAction Fail(WalkFailure failed, int parent, const char* name, std::size_t depth,
                    int error) {
        failed_ = true;
        return Visit(WalkEvent::Error, parent, name, DT_UNKNOWN, depth, error, failed);
    }

    int OpenBelow(int parent, const char* name, int& searchError, struct stat& info, bool& statted);
    bool Descend(int parent, const std::string& name, std::size_t depth, int reachError);
    bool Push(std::string name, FileDescriptor directory, int searchError, const Identity& identity,
              std::size_t depth, int parent);
    bool List(Frame& frame, std::size_t depth, int parent);
    bool Run();
    bool ReachParent();
    // Whether a directory on `mount` lies on the root's mount, as far as the
    // kernel tells.
    bool OnRootMount(std::uint64_t mount) const {
        return rootMount_ == 0 || mount == 0 || mount == rootMount_;
    }
    FileDescriptor ReachFromRoot(std::size_t index, int& error);

    const TreeVisitor& visitor_;
    const WalkOptions& options_;
    std::vector<Frame> frames_;  // frames_[d] is the directory at depth d
    int at_ = -1;                // the root's parent (WalkTree) or -1
    bool named_ = false;         // the root is an entry of at_ and visited
    dev_t rootDevice_ = 0;
    std::uint64_t rootMount_ = 0;  // 0 when the kernel cannot tell mounts apart
    std::size_t held_ = 0;         // frames holding a descriptor
    std::size_t lowestHeld_ = 1;   // the held frames are 0 and lowestHeld_ up to the top
    bool failed_ = false;          // an Error event was given
    bool openat2Missing_ = false;
};

std::string WalkEntry::Path() const {
    return walk != nullptr ? walk->PathOf(depth, name) : std::string(name);
}

std::string TreeWalk::PathOf(std::size_t depth, const char* name) const {
    std::string path;
    const std::size_t through = depth < frames_.size() ? depth : frames_.size();
    for (std::size_t i = 0; i < through; ++i) {
        if (frames_[i].name.empty()) continue;  // the start of WalkBelow
        path += frames_[i].name;
        path += '/';
    }
    if (*name == '\0' && !path.empty()) path.pop_back();
    return path += name;
}

WalkAction TreeWalk::Visit(WalkEvent event, int parent, const char* name, unsigned char type,
                           std::size_t depth, int error, WalkFailure failed) {
    WalkEntry entry;
    entry.event = event;
    entry.parent = parent;
    entry.name = name;
    entry.type = type;
    entry.depth = depth;
    entry.error = error;
    entry.failed = failed;
    entry.walk = this;
    return visitor_(entry);
}

// Opens the directory `name` of `parent`, never through a link. Sets
// `searchError` to 0 when its entries can be reached, else to the error that
// reaching one gives (EACCES without search permission): a directory may be
// listed while its entries cannot be reached. Fills `info` and sets
// `statted` when the way it took asked the directory's status anyway.
// -1 with errno when it cannot be opened.
int TreeWalk::OpenBelow(int parent, const char* name, int& searchError, struct stat& info,
                        bool& statted) {
    statted = false;
#ifdef SYS_openat2
    const std::size_t length = std::strlen(name);
    if (!openat2Missing_ && length <= NAME_MAX) {
        // Opening "<name>/." looks up "." inside the directory, which takes
        // the permission that reaching any of its entries takes;
        // RESOLVE_NO_SYMLINKS refuses a link at <name> with ELOOP.
        char inside[NAME_MAX + 3];
        // NOLINTNEXTLINE(bugprone-not-null-terminated-result): "/." brings the NUL
        std::memcpy(inside, name, length);
        std::memcpy(inside + length, "/.", 3);
        open_how how{};
        how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
        how.resolve = RESOLVE_NO_SYMLINKS;
        const long descriptor = ::syscall(SYS_openat2, parent, inside, &how, sizeof how);
        if (descriptor >= 0) {
            searchError = 0;
            return static_cast<int>(descriptor);
        }
        // EACCES: not searchable, or not readable; the plain open below tells
        // which. Any other error is the directory's own.
        if (OpenAt2Missing(errno)) {
            openat2Missing_ = true;
        } else if (errno != EACCES) {
            return -1;
        }
    }
#endif
    FileDescriptor directory(::openat(parent, name, kDirectoryFlags));
    if (!directory.valid()) return -1;
    if (::fstatat(directory.get(), ".", &info, AT_SYMLINK_NOFOLLOW) == 0) {
        searchError = 0;
        statted = true;
    } else {
        searchError = errno;
    }
    return directory.release();
}

// Walks into the directory `name` of `parent`, at `depth`: its
// EnterDirectory event, the open, and its listing. False when the walk must
// end.
bool TreeWalk::Descend(int parent, const std::string& name, std::size_t depth, int reachError) {
    struct stat info {};
    if (options_.stayOnFileSystem && depth > 0) {
        if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (IsMissing(errno)) return true;  // gone since the listing was read
            return Fail(WalkFailure::Open, parent, name.c_str(), depth, errno) != WalkAction::Stop;
        }
        if (!S_ISDIR(info.st_mode)) {
            return Visit(WalkEvent::Entry, parent, name.c_str(), IFTODT(info.st_mode), depth) !=
                   WalkAction::Stop;
        }
        if (info.st_dev != rootDevice_ || !OnRootMount(MountOf(parent, name.c_str(), 0))) {
            return Visit(WalkEvent::OtherFileSystem, parent, name.c_str(), DT_DIR, depth) !=
                   WalkAction::Stop;
        }
    }
    const WalkAction action =
        Visit(WalkEvent::EnterDirectory, parent, name.c_str(), DT_DIR, depth, reachError);
    if (action != WalkAction::Continue) return action != WalkAction::Stop;

    int searchError = 0;
    bool statted = false;
    FileDescriptor directory(OpenBelow(parent, name.c_str(), searchError, info, statted));
    if (!directory.valid()) {
        const int error = errno;
        if (error == ENOENT) return true;  // gone since the listing was read
        if (error == ENOTDIR || error == ELOOP) {
            // No longer a directory (replaced by a file or a link since the
            // listing was read): visited as what it is now, never entered.
            if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
                if (IsMissing(errno)) return true;
                return Fail(WalkFailure::Open, parent, name.c_str(), depth, errno) !=
                       WalkAction::Stop;
            }
            if (!S_ISDIR(info.st_mode)) {
                return Visit(WalkEvent::Entry, parent, name.c_str(), IFTODT(info.st_mode), depth) !=
                       WalkAction::Stop;
            }
        }
        return Fail(WalkFailure::Open, parent, name.c_str(), depth, error) != WalkAction::Stop;
    }
    Identity identity;
    if (statted) identity.Take(info);
    if (options_.stayOnFileSystem) {
        // Checked again on what was opened: it may have been swapped for a
        // mount point after the check above.
        if (!statted && ::fstat(directory.get(), &info) != 0) {
            return Fail(WalkFailure::Open, parent, name.c_str(), depth, errno) != WalkAction::Stop;
        }
        identity.Take(info);
        if (info.st_dev != rootDevice_ ||
            !OnRootMount(MountOf(directory.get(), "", AT_EMPTY_PATH))) {
            directory = FileDescriptor();
            return Visit(WalkEvent::OtherFileSystem, parent, name.c_str(), DT_DIR, depth) !=
                   WalkAction::Stop;
        }
    }
    return Push(name, std::move(directory), searchError, identity, depth, parent);
}

// Puts the opened directory on the stack and lists it, closing the held
// ancestor farthest from the bottom when too many are open.
bool TreeWalk::Push(std::string name, FileDescriptor directory, int searchError,
                    const Identity& identity, std::size_t depth, int parent) {
    Listing listing(::fdopendir(directory.get()));
    if (!listing)
        return Fail(WalkFailure::Open, parent, name.c_str(), depth, errno) != WalkAction::Stop;
    directory.release();  // the listing closes it now
    Frame frame;
    frame.name = std::move(name);
    frame.listing = std::move(listing);
    frame.identity = identity;
    frame.searchError = searchError;
    frames_.push_back(std::move(frame));
    ++held_;
    if (held_ > kHeldDirectories) {
        // The walk gets back to it through its child's "..", and takes what
        // it finds there only when it is this directory.
        Frame& farthest = frames_[lowestHeld_];
        struct stat info {};
        if (!farthest.identity.known) {
            if (::fstat(farthest.fd(), &info) != 0) {
                // Without its identity the walk could not be sure to get
                // back to it, and it may not keep it open either.
                Fail(WalkFailure::Return, -1, farthest.name.c_str(), lowestHeld_, errno);
                return false;
            }
            farthest.identity.Take(info);
        }
        farthest.Close();
        --held_;
        ++lowestHeld_;
    }
    return List(frames_.back(), depth, parent);
}

// Reads the listing of `frame`, the directory at `depth`, to its end: visits
// its entries that are not directories as they come and keeps the names of
// its subdirectories for later.
bool TreeWalk::List(Frame& frame, std::size_t depth, int parent) {
    DIR* listing = frame.listing.get();
    const int fd = ::dirfd(listing);
    for (;;) {
        errno = 0;
        const dirent* entry = options_.readEntry(listing);
        if (entry == nullptr) {
            if (errno != 0) {
                const WalkAction action =
                    Fail(WalkFailure::List, parent, frame.name.c_str(), depth, errno);
                if (action == WalkAction::Stop) return false;
                if (action == WalkAction::Skip) {
                    frame.subdirectories.clear();
                    frame.leave = false;
                }
            }
            break;
        }
        const char* name = entry->d_name;
        if (IsDotOrDotDot(name)) continue;
        // The listing tells the kind of an entry, except on filesystems that
        // leave it unknown: a status query tells it then, unless the
        // directory cannot be searched, which makes that query fail.
        unsigned char type = entry->d_type;
        int error = frame.searchError;
        if (type == DT_UNKNOWN && error == 0) {
            struct stat info {};
            if (::fstatat(fd, name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
                type = IFTODT(info.st_mode);
            } else if (IsMissing(errno)) {
                continue;  // gone since the listing was read
            } else {
                error = errno;
            }
        }
        if (type == DT_DIR) {
            frame.subdirectories.emplace_back(name);
            continue;
        }
        if (Visit(WalkEvent::Entry, fd, name, type, depth + 1, error) == WalkAction::Stop)
            return false;
    }
    // The listing is done with; its descriptor stays open for the entries'
    // events while the directory is held.
    return true;
}

// Gets the parent of the top frame held open again, before the top is left.
bool TreeWalk::ReachParent() {
    const std::size_t index = frames_.size() - 2;
    Frame& parent = frames_[index];
    Frame& child = frames_.back();
    FileDescriptor reached(::openat(child.fd(), "..", kDirectoryFlags));
    struct stat info {};
    int error = ENOENT;
    if (!reached.valid() || ::fstat(reached.get(), &info) != 0 || !parent.identity.Matches(info)) {
        // The child was moved, or cannot be searched: go down from the root
        // instead, by the names the walk came through.
        reached = ReachFromRoot(index, error);
    }
    if (!reached.valid()) {
        failed_ = true;
        Visit(WalkEvent::Error, -1, parent.name.c_str(), DT_DIR, index, error, WalkFailure::Return);
        return false;
    }
    parent.descriptor = std::move(reached);
    ++held_;
    lowestHeld_ = index;
    return true;
}

// Opens frames_[index] again from the root, each directory on the way
// relative to the one above it and checked to be the one the walk entered.
FileDescriptor TreeWalk::ReachFromRoot(std::size_t index, int& error) {
    FileDescriptor current;
    for (std::size_t i = 1; i <= index; ++i) {
        const int above = i == 1 ? frames_[0].fd() : current.get();
        FileDescriptor next(::openat(above, frames_[i].name.c_str(), kDirectoryFlags));
        struct stat info {};
        if (!next.valid() || ::fstat(next.get(), &info) != 0) {
            error = errno;
            return FileDescriptor();
        }
        if (!frames_[i].identity.Matches(info)) {
            error = ENOENT;  // another directory has taken its place
            return FileDescriptor();
        }
        current = std::move(next);
    }
    return current;
}

// Walks the subdirectories of the stack's frames, the deepest first, until
// the stack is empty.
bool TreeWalk::Run() {
    while (!frames_.empty()) {
        Frame& top = frames_.back();
        const std::size_t depth = frames_.size() - 1;
        if (top.next < top.subdirectories.size()) {
            // Taken out first: Descend may push and move the frames.
            const std::string name = std::move(top.subdirectories[top.next++]);
            if (!Descend(top.fd(), name, depth + 1, top.searchError)) return false;
            continue;
        }
        if (depth == 0) {
            // The root is left through the descriptor it was given.
            const std::string name = std::move(top.name);
            const bool leave = top.leave;
            frames_.clear();
            if (named_ && leave &&
                Visit(WalkEvent::LeaveDirectory, at_, name.c_str(), DT_DIR, 0) == WalkAction::Stop)
                return false;
            return !failed_;
        }
        if (!frames_[depth - 1].held() && !ReachParent()) return false;
        Frame& leaving = frames_.back();
        const std::string name = std::move(leaving.name);
        const bool leave = leaving.leave;
        frames_.pop_back();
        --held_;
        if (leave && Visit(WalkEvent::LeaveDirectory, frames_.back().fd(), name.c_str(), DT_DIR,
                           depth) == WalkAction::Stop)
            return false;
    }
    return !failed_;
}

bool TreeWalk::Tree(int at, const char* name) {
    at_ = at;
    named_ = true;
    struct stat info {};
    if (::fstatat(at, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        Fail(WalkFailure::Open, at, name, 0, errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode))
        return Visit(WalkEvent::Entry, at, name, IFTODT(info.st_mode), 0) != WalkAction::Stop;
    rootDevice_ = info.st_dev;
    if (options_.stayOnFileSystem) rootMount_ = MountOf(at, name, 0);
    if (!Descend(at, name, 0, 0)) return false;
    return Run();
}

bool TreeWalk::Below(int directory) {
    FileDescriptor start(directory);
    if (!start.valid()) {
        Fail(WalkFailure::Open, -1, "", 0, errno);
        return false;
    }
    struct stat info {};
    Identity identity;
    int searchError = 0;
    // Its entries may be listed while they cannot be reached.
    if (::fstatat(start.get(), ".", &info, AT_SYMLINK_NOFOLLOW) == 0) {
        identity.Take(info);
    } else {
        searchError = errno;
        if (options_.stayOnFileSystem && ::fstat(start.get(), &info) == 0) identity.Take(info);
    }
    rootDevice_ = info.st_dev;
    if (options_.stayOnFileSystem) rootMount_ = MountOf(start.get(), "", AT_EMPTY_PATH);
    if (!Push(std::string(), std::move(start), searchError, identity, 0, -1)) return false;
    return Run();
}

bool WalkTree(int at, const char* name, const TreeVisitor& visitor, const WalkOptions& options) {
    return TreeWalk(visitor, options).Tree(at, name);
}

bool WalkBelow(int directory, const TreeVisitor& visitor, const WalkOptions& options) {
    return TreeWalk(visitor, options).Below(directory);
}

}  // namespace quorane::platform
