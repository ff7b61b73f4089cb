// Seam: walking a directory tree, relative to directory descriptors, with a
// fixed number of descriptors open whatever the depth of the tree.
//
// The walk is iterative (its stack lives on the heap) and never builds the
// path of an entry to reach it: every directory is opened relative to the
// one that holds it, refusing a symbolic link (O_NOFOLLOW | O_DIRECTORY), so
// a link is reported as an entry and never followed. Only the directories
// nearest the bottom of the walk stay open; an ancestor that had to be closed
// is opened again from its child's ".." when the walk climbs back to it, and
// taken only when its device and inode are the ones it had, else reached
// again from the root of the walk by the names it was entered through, each
// step checked likewise. The walk never climbs above its root.
//
// Every descriptor the walk opens is close-on-exec and closed again before
// the walk returns, also when the visitor throws.
#ifndef QUORANE_PLATFORM_TREE_WALK_H
#define QUORANE_PLATFORM_TREE_WALK_H

#include <dirent.h>

#include <cstddef>
#include <functional>
#include <string>

namespace quorane::platform {

// The most descriptors a walk holds open at once, whatever the depth of the
// tree: the root of the walk, the seven directories nearest the bottom, and
// one more while a directory is being opened or an ancestor opened again.
// The visitor's own descriptors come on top.
constexpr int kMaxWalkDescriptors = 9;

// Reads the next entry of an open directory listing as readdir does: null at
// the end, and null with errno set on an error. The walk reads every listing
// through one of these, ::readdir unless told otherwise (tests put faults
// there).
using ReadDirectoryEntry = dirent* (*)(DIR*);

// What the visitor is told about.
enum class WalkEvent {
    // An entry that is not a directory: a file, a symbolic link (whatever
    // it leads to), a FIFO, a socket, a device; also an entry listed as a
    // directory that is something else by the time the walk opens it, and
    // a root that is not a directory.
    Entry,
    // A directory, right before the walk opens it. The visitor may change
    // the directory (its permissions, say), or answer Skip to leave it
    // unopened. Nothing happens between this event and the open, so a test
    // may swap the directory for something else here.
    EnterDirectory,
    // A directory, after all of its entries (and theirs) were visited and
    // after the walk closed it; `parent` is open, so the visitor may remove
    // it with unlinkat(parent, name, AT_REMOVEDIR).
    LeaveDirectory,
    // Something could not be done; `error` holds the errno and `failed`
    // says what it was.
    Error,
    // A directory on another file system than the root's, reported instead
    // of being entered when the walk stays on one file system.
    OtherFileSystem,
};

// What failed, for an Error event.
enum class WalkFailure {
    None,
    // The directory (or, in WalkTree, the root entry) could not be opened or
    // its status asked; it is not entered.
    Open,
    // The directory's listing failed part way; the entries read before the
    // failure were visited already.
    List,
    // The walk could not get back to the directory after one of its
    // subdirectories (it was moved or removed meanwhile), or could not note
    // where the directory was before closing it. `parent` is -1 here. The
    // walk ends after this event, whatever the visitor answers.
    Return,
};

// What the visitor answers.
enum class WalkAction {
    Continue,
    // At EnterDirectory: do not open the directory (no LeaveDirectory
    // follows). At an Error of kind List: visit nothing more of that
    // directory (neither its subdirectories nor its LeaveDirectory).
    // Elsewhere the same as Continue.
    Skip,
    // End the walk now; the walk returns false.
    Stop,
};

class TreeWalk;

// One event of a walk, valid during the visitor's call only.
struct WalkEntry {
    WalkEvent event = WalkEvent::Entry;
    // The open directory holding the entry, valid during the call: the
    // visitor may unlinkat, fstatat, fchmodat or openat relative to it, but
    // must not close it. -1 only for an Error of kind Return, and for the
    // start directory of WalkBelow (which has no parent here).
    int parent = -1;
    // The entry's name in `parent`; "" for the start directory of WalkBelow.
    const char* name = "";
    // The entry's kind as a DT_ value of <dirent.h>: from the listing, or,
    // where the listing leaves it unknown, from a status query that does not
    // follow a link. DT_UNKNOWN when that query failed (see `error`).
    unsigned char type = DT_UNKNOWN;
    // Levels below the start: the root entry of WalkTree is 0, and so is the
    // start directory of WalkBelow, whose entries are 1.
    std::size_t depth = 0;
    // Error: the errno of the failure. Entry, EnterDirectory: the errno that
    // asking this entry's status gives, when the walk already knows it (its
    // directory can be listed but not searched, or the status query made for
    // an unknown kind failed); 0 otherwise.
    int error = 0;
    WalkFailure failed = WalkFailure::None;

    // The entry's path relative to the start of the walk, its names joined
    // with "/": "name/a/b" for WalkTree(at, "name"), "a/b" for WalkBelow ("" for
    // its start directory). Built on each call, for messages; the walk itself
    // never needs it. Its length is not bounded by PATH_MAX.
    std::string Path() const;

    const TreeWalk* walk = nullptr;  // the walk this event belongs to
};

// Called for every event; what it returns steers the walk. It may throw: the
// exception leaves the walk, which closes everything it opened.
using TreeVisitor = std::function<WalkAction(const WalkEntry&)>;

struct WalkOptions {
    // Do not enter a directory whose device differs from the root's: it is
    // reported with an OtherFileSystem event instead (before EnterDirectory;
    // or, should it be swapped for one between that check and the open,
    // right after EnterDirectory, without LeaveDirectory).
    bool stayOnFileSystem = false;
    ReadDirectoryEntry readEntry = ::readdir;
};

// Walks the tree under the entry `name` (one name, no "/") of the open
// directory `at` (which stays open and is the `parent` of the root's
// events), the root entry included, in this order:
//
//  - a root that is not a directory (a symbolic link among them, never
//    followed) gets one Entry event, and nothing else;
//  - a directory gets EnterDirectory; if the visitor continues and it opens,
//    an Entry event for each of its entries that is not a directory, as
//    they are listed; then each of its subdirectories in turn, the same
//    way; then LeaveDirectory. A directory that cannot be opened gets an
//    Error (Open) instead of its entries and LeaveDirectory; one that has
//    become something else by the time it is opened gets an Entry event of
//    its new kind, and one that has gone gets nothing more. A listing that
//    fails part way gets an Error (List) after the entries read before the
//    failure; if the visitor continues, the walk goes on as though the
//    listing had ended there.
//
// The visitor may remove the entry it is given (a non-directory at its Entry
// event, a directory at its LeaveDirectory) without entries being skipped or
// visited twice. "." and ".." are never visited.
//
// Returns true when the walk went through to the end: the visitor never
// answered Stop and no Error event was given. False otherwise; when the root
// entry's status cannot be asked (it is missing, say), false after an Error
// (Open) event for it at depth 0.
bool WalkTree(int at, const char* name, const TreeVisitor& visitor,
              const WalkOptions& options = {});

// Walks the tree below the open directory `directory`, which it takes over
// and closes before it returns (-1 is taken as a directory that could not be
// opened, errno kept: an Error (Open) event at depth 0). The start directory
// itself gets no event of its own except an Error (List) at depth 0 when its
// listing fails; its entries are at depth 1 and are walked as WalkTree walks
// the entries of a directory. The listing is read from the descriptor's
// current position, which is where a freshly opened directory starts.
//
// Returns as WalkTree does.
bool WalkBelow(int directory, const TreeVisitor& visitor, const WalkOptions& options = {});

}  // namespace quorane::platform

#endif  // QUORANE_PLATFORM_TREE_WALK_H
