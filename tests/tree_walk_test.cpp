// Tests of the tree walker: what it visits and in which order, the visitor's
// answers, removal while walking and GetFileCount's count of the same trees,
// the descriptors it holds at any depth and across deep branches, and that
// nothing swapped in during the walk leads it out of the tree.
#include "platform/TreeWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <quorane/Utils.h>
#include "DeepTreeSupport.h"
#include "TestSupport.h"
#include "base/FileDescriptor.h"
#include "utils/FileChecks.h"

namespace {

using quorane::FileDescriptor;
using quorane::platform::kMaxWalkDescriptors;
using quorane::platform::TreeVisitor;
using quorane::platform::WalkAction;
using quorane::platform::WalkBelow;
using quorane::platform::WalkEntry;
using quorane::platform::WalkEvent;
using quorane::platform::WalkFailure;
using quorane::platform::WalkOptions;
using quorane::platform::WalkTree;
using quorane::test::MakeChain;
using quorane::test::OpenDescriptors;
using quorane::test::RemoveDeep;
using quorane::test::TempDir;
using quorane::test::WriteFile;
namespace fs = boost::filesystem;

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

FileDescriptor OpenDirectory(const fs::path& path) {
    return FileDescriptor(::open(path.c_str(), kDirectoryFlags));
}

const char* TypeName(unsigned char type) {
    return type == DT_REG    ? "file"
           : type == DT_DIR  ? "dir"
           : type == DT_LNK  ? "link"
           : type == DT_FIFO ? "fifo"
                             : "unknown";
}

// One line per event: what, the path, the kind or failure, the depth.
std::string Describe(const WalkEntry& entry) {
    std::ostringstream line;
    switch (entry.event) {
        case WalkEvent::Entry:
            line << "entry " << entry.Path() << " " << TypeName(entry.type);
            break;
        case WalkEvent::EnterDirectory:
            line << "enter " << entry.Path();
            break;
        case WalkEvent::LeaveDirectory:
            line << "leave " << entry.Path();
            break;
        case WalkEvent::Error:
            line << "error " << entry.Path() << " "
                 << (entry.failed == WalkFailure::Open     ? "open"
                     : entry.failed == WalkFailure::List   ? "list"
                     : entry.failed == WalkFailure::Return ? "return"
                                                           : "none")
                 << " " << std::strerror(entry.error);
            break;
        case WalkEvent::OtherFileSystem:
            line << "other " << entry.Path();
            break;
    }
    line << " @" << entry.depth;
    if (entry.error != 0 && entry.event != WalkEvent::Error)
        line << " (" << std::strerror(entry.error) << ")";
    return line.str();
}

// The events of a walk, in order, and what the walk returned.
struct Record {
    std::vector<std::string> events;
    bool finished = false;

    std::size_t IndexOf(const std::string& line) const {
        return static_cast<std::size_t>(std::find(events.begin(), events.end(), line) -
                                        events.begin());
    }
    bool Has(const std::string& line) const { return IndexOf(line) < events.size(); }
    bool Mentions(const std::string& text) const {
        return std::any_of(events.begin(), events.end(),
                           [&](const std::string& e) { return e.find(text) != std::string::npos; });
    }
};

// A visitor that records every event in `record` and then answers `answer`.
TreeVisitor Recording(Record& record, const TreeVisitor& answer = nullptr) {
    return [&record, answer](const WalkEntry& entry) {
        record.events.push_back(Describe(entry));
        return answer ? answer(entry) : WalkAction::Continue;
    };
}

// Walks the entry `name` of the directory `in`, recording it.
Record Walk(const fs::path& in, const char* name, const WalkOptions& options = {},
            const TreeVisitor& answer = nullptr) {
    Record record;
    const FileDescriptor at = OpenDirectory(in);
    record.finished = WalkTree(at.get(), name, Recording(record, answer), options);
    return record;
}

// The same for WalkBelow of `directory`, which it takes over.
Record RecordBelow(int directory, const WalkOptions& options = {}) {
    Record record;
    record.finished = WalkBelow(directory, Recording(record), options);
    return record;
}

std::vector<std::string> Sorted(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

// The events of a walk, sorted, each after a newline.
std::string Lines(const Record& record) {
    std::string text;
    for (const std::string& event : Sorted(record.events)) text += "\n" + event;
    return text;
}

// Whether the walk finished, then its events: what a child passes back.
std::string Summary(const Record& record) {
    return (record.finished ? "finished" : "not finished") + Lines(record);
}

// Makes each of `entries` below `root`, with the directories it lies in: a
// directory where its name ends in "/", else a file.
void MakeEntries(const fs::path& root, std::initializer_list<std::string> entries) {
    for (const std::string& entry : entries) {
        if (entry.back() == '/') {
            fs::create_directories(root / entry.substr(0, entry.size() - 1));
        } else {
            fs::create_directories((root / entry).parent_path());
            WriteFile(root / entry, "x");
        }
    }
}

// Removes what a visitor is given: a file at its Entry, a directory at its
// LeaveDirectory. Returns what unlinkat returned, or 1 for an event that
// removes nothing.
int RemoveGiven(const WalkEntry& entry) {
    if (entry.event == WalkEvent::Entry) return ::unlinkat(entry.parent, entry.name, 0);
    if (entry.event == WalkEvent::LeaveDirectory)
        return ::unlinkat(entry.parent, entry.name, AT_REMOVEDIR);
    return 1;
}

// A tree of every kind of entry, with a directory outside it that links
// lead to; nothing named "secret" may ever be visited. Names that begin
// with two dots are names like any other.
void MakeMixedTree(const TempDir& dir) {
    MakeEntries(dir.path(), {"tree/sub/empty/", "tree/.../...", "tree/..data", "tree/a",
                             "tree/sub/b", "outside/secret-dir/", "outside/secret"});
    fs::create_directory_symlink(dir / "outside", dir / "tree/sub/..outside");
    fs::create_directory_symlink(dir / "outside", dir / "tree/dir-link");
    fs::create_symlink(dir / "tree/a", dir / "tree/sub/file-link");
    fs::create_symlink(dir / "missing", dir / "tree/dangling");
    ASSERT_EQ(::mkfifo((dir / "tree/fifo").c_str(), 0600), 0);
}

// A listing without kinds, as some file systems give: when it gives the
// entry "victim", `meanwhile` runs first, if set.
std::function<void(DIR* listing)> meanwhile;

dirent* ReadWithoutKinds(DIR* listing) {
    dirent* entry = ::readdir(listing);
    if (entry == nullptr) return nullptr;
    entry->d_type = DT_UNKNOWN;
    if (std::strcmp(entry->d_name, "victim") == 0 && meanwhile) meanwhile(listing);
    return entry;
}

// The events of a walk of the mixed tree, sorted.
std::vector<std::string> MixedTreeEvents() {
    return Sorted({
        "enter tree @0",
        "entry tree/a file @1",
        "entry tree/..data file @1",
        "entry tree/dir-link link @1",
        "entry tree/dangling link @1",
        "entry tree/fifo fifo @1",
        "enter tree/... @1",
        "entry tree/.../... file @2",
        "leave tree/... @1",
        "enter tree/sub @1",
        "entry tree/sub/b file @2",
        "entry tree/sub/file-link link @2",
        "entry tree/sub/..outside link @2",
        "enter tree/sub/empty @2",
        "leave tree/sub/empty @2",
        "leave tree/sub @1",
        "leave tree @0",
    });
}

TEST(WalkTree, VisitsEveryEntryOnceParentsAroundChildrenLinksNeverFollowed) {
    TempDir dir;
    MakeMixedTree(dir);
    const std::vector<std::string> expected = MixedTreeEvents();
    const std::pair<const char*, quorane::platform::ReadDirectoryEntry> readers[] = {
        {"kinds from the listing", ::readdir}, {"kinds from status queries", ReadWithoutKinds}};
    for (const auto& [how, reader] : readers) {
        SCOPED_TRACE(how);
        const Record record = Walk(dir.path(), "tree", {false, reader});
        EXPECT_TRUE(record.finished);
        EXPECT_EQ(Sorted(record.events), expected);
        EXPECT_FALSE(record.Mentions("secret"));
        // A directory's own entries come before its subdirectories, and all
        // of them between its EnterDirectory and its LeaveDirectory.
        EXPECT_EQ(record.IndexOf("enter tree @0"), 0u);
        EXPECT_EQ(record.IndexOf("leave tree @0"), record.events.size() - 1);
        for (const char* entry :
             {"entry tree/a file @1", "entry tree/..data file @1", "entry tree/fifo fifo @1"})
            EXPECT_LT(record.IndexOf(entry), record.IndexOf("enter tree/sub @1"));
        for (const char* inside :
             {"entry tree/sub/b file @2", "enter tree/sub/empty @2", "leave tree/sub/empty @2"}) {
            EXPECT_GT(record.IndexOf(inside), record.IndexOf("enter tree/sub @1"));
            EXPECT_LT(record.IndexOf(inside), record.IndexOf("leave tree/sub @1"));
        }
        EXPECT_LT(record.IndexOf("entry tree/sub/b file @2"),
                  record.IndexOf("enter tree/sub/empty @2"));
    }
}

TEST(WalkTree, RootThatIsNoDirectoryIsVisitedOnce) {
    TempDir dir;
    MakeMixedTree(dir);
    struct Case {
        const char* name;
        std::vector<std::string> events;
        bool finished;
    };
    const Case cases[] = {
        {"a", {"entry a file @0"}, true},
        {"dir-link", {"entry dir-link link @0"}, true},
        {"fifo", {"entry fifo fifo @0"}, true},
        {"missing", {"error missing open No such file or directory @0"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Record record = Walk(dir / "tree", c.name);
        EXPECT_EQ(record.events, c.events);
        EXPECT_EQ(record.finished, c.finished);
    }
}

TEST(WalkBelow, WalksTheEntriesOfAnOpenDirectoryAndClosesIt) {
    TempDir dir;
    MakeMixedTree(dir);
    const int directory = ::open((dir / "tree").c_str(), kDirectoryFlags);
    ASSERT_GE(directory, 0);
    const Record record = RecordBelow(directory);
    EXPECT_TRUE(record.finished);
    // Those of WalkTree below its root, their paths relative to it.
    std::vector<std::string> expected;
    for (std::string event : MixedTreeEvents()) {
        if (event.find(" @0") != std::string::npos) continue;
        expected.push_back(event.replace(event.find(" tree/"), 6, " "));
    }
    EXPECT_EQ(Sorted(record.events), Sorted(expected));
    errno = 0;
    EXPECT_EQ(::fcntl(directory, F_GETFD), -1) << "the start directory was left open";
    EXPECT_EQ(errno, EBADF);

    // A start that could not be opened.
    errno = ENOENT;
    const Record missing = RecordBelow(-1);
    EXPECT_FALSE(missing.finished);
    EXPECT_EQ(missing.events, std::vector<std::string>{"error  open No such file or directory @0"});
}

TEST(WalkTree, VisitorAnswersSteerTheWalk) {
    TempDir dir;
    MakeMixedTree(dir);
    struct Case {
        const char* name;
        const char* answeredAt;  // the event answered with `answer`
        WalkAction answer;
        bool finished;
        std::vector<std::string> absent;  // events that must not come
        bool throws = false;
    };
    const Case cases[] = {
        {"skip a directory",
         "enter tree/sub @1",
         WalkAction::Skip,
         true,
         {"entry tree/sub/b file @2", "enter tree/sub/empty @2", "leave tree/sub @1"}},
        {"stop at its entry",
         "entry tree/sub/b file @2",
         WalkAction::Stop,
         false,
         {"enter tree/sub/empty @2", "leave tree/sub @1", "leave tree @0"}},
        {"stop on leaving",
         "leave tree/sub/empty @2",
         WalkAction::Stop,
         false,
         {"leave tree/sub @1", "leave tree @0"}},
        {"skip the root", "enter tree @0", WalkAction::Skip, true, {"leave tree @0"}},
        {"stop on leaving the root", "leave tree @0", WalkAction::Stop, false, {}},
        {"throw", "entry tree/sub/b file @2", WalkAction::Continue, false, {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::set<int> before = OpenDescriptors();
        Record record;
        try {
            record = Walk(dir.path(), "tree", {}, [&](const WalkEntry& entry) {
                if (Describe(entry) != c.answeredAt) return WalkAction::Continue;
                if (c.throws) throw std::runtime_error("visitor");
                return c.answer;
            });
            EXPECT_FALSE(c.throws);
        } catch (const std::runtime_error&) {
            EXPECT_TRUE(c.throws);
        }
        if (!c.throws) {
            EXPECT_EQ(record.finished, c.finished);
            EXPECT_TRUE(record.Has(c.answeredAt));
            for (const std::string& absent : c.absent) EXPECT_FALSE(record.Has(absent)) << absent;
        }
        EXPECT_EQ(OpenDescriptors(), before);
    }
}

// --- Deep trees ---------------------------------------------------------------

// The chain's directory at `depth` below `root`, by path ("root/d/d...").
fs::path ChainLevel(const fs::path& root, int depth) {
    fs::path path = root;
    for (int level = 0; level < depth; ++level) path /= "d";
    return path;
}

// Files with names of some 50 bytes, `count` of them, in the directory at
// `depth` of the chain below `tree`.
bool MakeWide(const fs::path& tree, int depth, int count) {
    FileDescriptor wide = OpenDirectory(tree);
    for (int level = 0; level < depth; ++level)
        wide = FileDescriptor(::openat(wide.get(), "d", kDirectoryFlags));
    for (int i = 0; i < count && wide.valid(); ++i) {
        const std::string name = "a-rather-long-file-name-number-" + std::to_string(i);
        if (!FileDescriptor(
                 ::openat(wide.get(), name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644))
                 .valid())
            return false;
    }
    return wide.valid();
}

// A directory holding an entry for every name that begins with two dots and
// one more byte: files, but for "...", a directory with more of them and
// links whose names begin so.
bool MakeDotNames(const fs::path& tree) {
    if (::mkdir(tree.c_str(), 0755) != 0) return false;
    for (int byte = 1; byte < 256; ++byte) {
        if (byte == '/' || byte == '.') continue;
        WriteFile(tree / (".." + std::string(1, static_cast<char>(byte))), "");
    }
    MakeEntries(tree, {".../..data", ".../.../...."});
    fs::create_symlink("..data", tree / ".../..to-file");
    fs::create_symlink("...", tree / ".../..to-dir");
    return true;
}

// A tree walked to its end, and what it holds.
struct TreeShape {
    const char* name;
    std::function<bool(const fs::path& tree)> make;
    std::size_t directories;  // the root included
    std::size_t others;       // entries that are not directories
    std::size_t counted;      // regular files and links to one
    std::size_t deepest;      // the depth of its deepest directory
    bool underLimit;          // walked under an open-file limit of the bound as well
};

TreeShape Chain(const char* name, int depth, bool underLimit = false) {
    const auto n = static_cast<std::size_t>(depth);
    const auto make = [depth](const fs::path& tree) { return MakeChain(tree, depth).valid(); };
    return {name, make, n + 1, n, n, n, underLimit};
}

TEST(WalkTree, DeepAndWideTreesAreWalkedToTheEndWithinTheDescriptorBound) {
    // Each tree is counted by GetFileCount, then removed by a visitor that
    // removes every entry as it is given: files at their Entry, directories
    // at their LeaveDirectory. A skipped entry would make a directory
    // removal fail (ENOTEMPTY), a repeated one a removal of something
    // already gone (ENOENT). A directory far longer than one buffer of the
    // listing is removed while it is being listed. Trees of several deep
    // branches make the walk open again, from their children, ancestors it
    // had to close, and go down again below them.
    constexpr int kWide = 1500;  // some 80 kB of names: several reads of the listing
    const std::vector<TreeShape> shapes = {
        Chain("depth 1", 1),
        Chain("depth 7", 7),
        Chain("depth 8", 8),
        Chain("depth 9", 9),
        Chain("depth 40", 40),
        Chain("depth 600", 600, true),
        Chain("a chain past PATH_MAX", 3000),
        {"a wide directory near the top",
         [](const fs::path& tree) {
             return MakeChain(tree, 3).valid() && MakeWide(tree, 2, kWide);
         },
         4, 3 + kWide, 3 + kWide, 3, false},
        {"a wide directory at the bottom of a deep chain",
         [](const fs::path& tree) {
             return MakeChain(tree, 100).valid() && MakeWide(tree, 100, kWide);
         },
         101, 100 + kWide, 100 + kWide, 100, false},
        {"three branches from the root, each deeper than the bound",
         [](const fs::path& tree) {
             return ::mkdir(tree.c_str(), 0755) == 0 && MakeChain(tree / "a", 20).valid() &&
                    MakeChain(tree / "b", 30).valid() && MakeChain(tree / "c", 12).valid();
         },
         1 + 21 + 31 + 13, 62, 62, 31, true},
        {"two deep branches forking deep down",
         [](const fs::path& tree) {
             return MakeChain(tree, 15).valid() &&
                    MakeChain(ChainLevel(tree, 15) / "x", 15).valid() &&
                    MakeChain(ChainLevel(tree, 15) / "y", 15).valid();
         },
         16 + 2 * 16, 15 + 2 * 15, 15 + 2 * 15, 31, true},
        {"a branch deeper than the bound at every level",
         [](const fs::path& tree) {
             bool made = MakeChain(tree, 12).valid();
             for (int level = 1; level <= 12 && made; ++level)
                 made = MakeChain(ChainLevel(tree, level) / "s", 10).valid();
             return made;
         },
         13 + 12 * 11, 12 + 12 * 10, 12 + 12 * 10, 23, true},
        {"names that begin with two dots", MakeDotNames, 3, 253 + 4, 253 + 3, 2, false},
    };
    for (const TreeShape& c : shapes) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ASSERT_TRUE(c.make(dir / "tree"));
        std::int32_t counter = 5;
        EXPECT_NO_THROW(GetFileCount((dir / "tree").wstring(), counter));
        EXPECT_EQ(counter, 5 + static_cast<std::int32_t>(c.counted));

        if (c.underLimit) {
            // In a child whose limit leaves room for exactly
            // kMaxWalkDescriptors more descriptors than it has open: every
            // open the walk makes must fit. Gaps among the descriptors the
            // test inherited would give it more room; they are filled first.
            const auto result = quorane::test::RunInChild([&] {
                const FileDescriptor at = OpenDirectory(dir.path());
                const rlim_t room =
                    static_cast<rlim_t>(quorane::test::FillDescriptorsBelowTheHighest()) + 1 +
                    kMaxWalkDescriptors;
                const rlimit limit = {room, room};
                if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return std::string("no limit");
                std::size_t others = 0;
                std::string failure;
                const bool finished = WalkTree(at.get(), "tree", [&](const WalkEntry& entry) {
                    if (entry.event == WalkEvent::Entry) ++others;
                    if (entry.event == WalkEvent::Error && failure.empty())
                        failure = Describe(entry);
                    return WalkAction::Continue;
                });
                return std::to_string(others) + (finished ? " finished" : " failed: " + failure);
            });
            ASSERT_TRUE(result.has_value());
            EXPECT_EQ(*result, std::to_string(c.others) + " finished");
        }

        const FileDescriptor at = OpenDirectory(dir.path());
        const std::set<int> before = OpenDescriptors();
        std::size_t removed = 0;
        std::size_t others = 0;
        std::vector<std::string> failures;
        std::size_t mostHeld = 0;
        bool allCloseOnExec = true;
        // Counting the descriptors at every event of a deep walk is slow;
        // every event near the top and the bottom, and each tenth one between.
        std::size_t events = 0;
        const bool finished = WalkTree(at.get(), "tree", [&](const WalkEntry& entry) {
            if (entry.depth <= 10 || entry.depth + 10 >= c.deepest || ++events % 10 == 0) {
                std::size_t held = 0;
                for (const int fd : OpenDescriptors()) {
                    if (before.count(fd) != 0) continue;
                    ++held;
                    if ((::fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) allCloseOnExec = false;
                }
                mostHeld = std::max(mostHeld, held);
            }
            if (entry.event == WalkEvent::Entry) ++others;
            if (entry.event == WalkEvent::Error || entry.event == WalkEvent::OtherFileSystem) {
                failures.push_back(Describe(entry));
                return WalkAction::Continue;
            }
            const int result = RemoveGiven(entry);
            if (result == 0) {
                ++removed;
            } else if (result < 0 && failures.size() < 5) {
                failures.push_back(Describe(entry) + ": " + std::strerror(errno));
            }
            return WalkAction::Continue;
        });
        EXPECT_TRUE(finished);
        EXPECT_EQ(failures, std::vector<std::string>{});
        EXPECT_EQ(others, c.others);
        EXPECT_EQ(removed, c.directories + c.others);
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "tree")));
        EXPECT_LE(mostHeld, static_cast<std::size_t>(kMaxWalkDescriptors));
        EXPECT_GE(mostHeld, std::min<std::size_t>(c.deepest + 1, kMaxWalkDescriptors - 1));
        EXPECT_TRUE(allCloseOnExec);
        EXPECT_EQ(OpenDescriptors(), before);
        RemoveDeep(dir / "tree");
    }
}

// --- Nothing swapped in leads the walk out of its tree -------------------------

// A directory outside the tree, everything in it named "sentinel".
fs::path MakeSentinel(const TempDir& dir) {
    MakeEntries(dir / "outside/sentinel-dir", {"sentinel-sub/d/", "sentinel-file", "d"});
    return dir / "outside/sentinel-dir";
}

TEST(WalkTree, DirectorySwappedForALinkRightBeforeItIsOpenedIsNotEntered) {
    // At every depth, above and below the levels the walk keeps open: the
    // directory is moved away and a link to a directory outside takes its
    // name, between the listing and the open.
    constexpr int kDepth = 20;
    for (int swapAt = 1; swapAt <= kDepth; ++swapAt) {
        SCOPED_TRACE("swapped at depth " + std::to_string(swapAt));
        TempDir dir;
        const fs::path sentinel = MakeSentinel(dir);
        ASSERT_TRUE(MakeChain(dir / "tree", kDepth).valid());
        const std::string moved = (dir / "outside/moved").string();
        const Record record = Walk(dir.path(), "tree", {}, [&](const WalkEntry& entry) {
            if (entry.event == WalkEvent::EnterDirectory &&
                entry.depth == static_cast<std::size_t>(swapAt)) {
                if (::renameat(entry.parent, entry.name, AT_FDCWD, moved.c_str()) != 0 ||
                    ::symlinkat(sentinel.c_str(), entry.parent, entry.name) != 0)
                    throw std::runtime_error("could not swap");
            }
            return WalkAction::Continue;
        });
        EXPECT_TRUE(record.finished);
        EXPECT_FALSE(record.Mentions("sentinel"));
        const std::string swapped = ChainLevel("tree", swapAt).string();
        EXPECT_TRUE(record.Has("entry " + swapped + " link @" + std::to_string(swapAt)));
        // What lies above the swap is walked in full, nothing below it.
        EXPECT_EQ(std::count_if(record.events.begin(), record.events.end(),
                                [](const std::string& e) { return e.rfind("entry ", 0) == 0; }),
                  swapAt);
        EXPECT_EQ(record.IndexOf("enter " + swapped + " @" + std::to_string(swapAt)) + 1,
                  record.IndexOf("entry " + swapped + " link @" + std::to_string(swapAt)));
    }
}

TEST(WalkTree, OnOneFileSystemASiblingChangedSinceTheListingIsWalkedAsWhatItIsNow) {
    // Two directories listed together; while the walk is in the first, the
    // second is removed or replaced. Reached, it is what it is now: nothing,
    // a file, a link (never followed), never entered.
    struct Case {
        const char* now;
        const char* expected;  // its event, or "" for none
        std::function<int(int parent, const char* name)> replace;
    };
    const Case cases[] = {
        {"nothing", "", [](int, const char*) { return 0; }},
        {"a file", "file",
         [](int parent, const char* name) {
             const int fd = ::openat(parent, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
             return fd < 0 ? -1 : ::close(fd);
         }},
        {"a link to a directory", "link",
         [](int parent, const char* name) { return ::symlinkat("/", parent, name); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.now);
        TempDir dir;
        MakeEntries(dir.path(), {"tree/a/x", "tree/b/x"});
        std::string first;
        std::string other;
        const Record record =
            Walk(dir.path(), "tree", {true, ::readdir}, [&](const WalkEntry& entry) {
                if (entry.event == WalkEvent::EnterDirectory && entry.depth == 1 && first.empty()) {
                    first = entry.name;
                    other = first == "a" ? "b" : "a";
                    const int parent = entry.parent;
                    if (::unlinkat(parent, (other + "/x").c_str(), 0) != 0 ||
                        ::unlinkat(parent, other.c_str(), AT_REMOVEDIR) != 0 ||
                        c.replace(parent, other.c_str()) != 0)
                        throw std::runtime_error("could not replace the sibling");
                }
                return WalkAction::Continue;
            });
        EXPECT_TRUE(record.finished);
        EXPECT_TRUE(record.Has("entry tree/" + first + "/x file @2"));
        EXPECT_FALSE(record.Mentions("enter tree/" + other));
        EXPECT_FALSE(record.Mentions("tree/" + other + "/"));
        if (*c.expected == '\0') {
            EXPECT_FALSE(record.Mentions("tree/" + other));
        } else {
            EXPECT_TRUE(record.Has("entry tree/" + other + " " + c.expected + " @1"));
        }
        EXPECT_FALSE(record.Mentions("error"));
    }
}

// Runs `change` once, when the listing of the directory at `changeIn`
// gives its first entry.
fs::path changeIn;
std::function<void()> change;

dirent* ReadAndChangeOnce(DIR* listing) {
    if (change &&
        fs::read_symlink("/proc/self/fd/" + std::to_string(::dirfd(listing))) == changeIn) {
        const std::function<void()> now = std::move(change);
        change = nullptr;
        now();
    }
    return ::readdir(listing);
}

TEST(WalkTree, AncestorMovedOutOfTheTreeIsNotClimbedOutOf) {
    // Deep below the levels the walk keeps open, an ancestor is moved out of
    // the tree and its name taken by a link to a directory outside, or by
    // another directory. Getting back up, the walk must neither climb into
    // the ancestor's new surroundings nor follow the link that took its name;
    // reaching an ancestor again from the root, it must check each directory
    // on the way, so that an impostor chain of the same names does not take
    // the place of the tree. Each case is recorded, removed by a visitor that
    // removes what it is given, and counted by GetFileCount, which raises
    // where the walk gives up.
    constexpr int kDepth = 40;
    enum class Replacement {
        Link,            // to a directory outside
        EmptyDirectory,  // another directory
        Impostor,        // a chain of empty directories "d" down to alsoMovedAt
        // The same down to alsoMovedAt - 2, holding the real directory of
        // level alsoMovedAt - 1, moved there: only the steps above it are
        // impostors.
        ImpostorAroundTheReal,
    };
    struct Case {
        const char* name;
        int movedAt;      // the ancestor moved out, and a replacement left in its place
        int alsoMovedAt;  // a directory below it moved out as well, or 0
        Replacement replacement;
        bool finished;  // the walk gets back to the root
        int errorAt;    // depth of the Error (Return) event, or 0
    };
    const Case cases[] = {
        {"an ancestor moved out", 5, 0, Replacement::Link, true, 0},
        {"an ancestor and a directory below it moved out", 5, 20, Replacement::Link, false, 19},
        {"an ancestor replaced by another directory, one below it moved", 5, 20,
         Replacement::EmptyDirectory, false, 19},
        {"the child of the root moved out", 1, 0, Replacement::Link, true, 0},
        {"an ancestor replaced by an impostor chain, one below it moved", 5, 20,
         Replacement::Impostor, false, 19},
        {"an impostor chain leading to the real directory, one below it moved", 5, 20,
         Replacement::ImpostorAroundTheReal, false, 19},
    };
    enum class Walker { Record, Remove, Count };
    for (const Case& c : cases) {
        for (const Walker walker : {Walker::Record, Walker::Remove, Walker::Count}) {
            SCOPED_TRACE(std::string(c.name) + (walker == Walker::Record   ? ", recorded"
                                                : walker == Walker::Remove ? ", removed"
                                                                           : ", counted"));
            TempDir dir;
            const fs::path sentinel = MakeSentinel(dir);
            ASSERT_TRUE(MakeChain(dir / "tree", kDepth).valid());
            const fs::path tree = dir / "tree";
            const fs::path replaced = ChainLevel(tree, c.movedAt);
            const fs::path above = dir / "outside/above";
            fs::path kept = replaced;  // the deepest of what took the ancestor's place
            changeIn = ChainLevel(fs::canonical(tree), kDepth);
            change = [&] {
                if (c.alsoMovedAt != 0)
                    fs::rename(ChainLevel(tree, c.alsoMovedAt), dir / "outside/below");
                fs::rename(replaced, above);
                switch (c.replacement) {
                    case Replacement::Link:
                        fs::create_directory_symlink(sentinel, replaced);
                        break;
                    case Replacement::EmptyDirectory:
                        fs::create_directory(replaced);
                        break;
                    case Replacement::Impostor:
                        kept = ChainLevel(tree, c.alsoMovedAt);
                        fs::create_directories(kept);
                        break;
                    case Replacement::ImpostorAroundTheReal:
                        kept = ChainLevel(tree, c.alsoMovedAt - 1);
                        fs::create_directories(kept.parent_path());
                        fs::rename(ChainLevel(above, c.alsoMovedAt - 1 - c.movedAt), kept);
                        break;
                }
            };
            if (walker == Walker::Count) {
                std::int32_t counter = 0;
                bool raised = false;
                try {
                    quorane::CountRegularFiles(tree.string(), counter, ReadAndChangeOnce);
                } catch (const fs::filesystem_error&) {
                    raised = true;
                }
                EXPECT_EQ(raised, !c.finished);
                EXPECT_EQ(counter, kDepth);
            } else {
                const Record record = Walk(dir.path(), "tree", {false, ReadAndChangeOnce},
                                           [&](const WalkEntry& entry) {
                                               if (walker == Walker::Remove) RemoveGiven(entry);
                                               return WalkAction::Continue;
                                           });
                EXPECT_EQ(record.finished, c.finished);
                EXPECT_FALSE(record.Mentions("sentinel"));
                EXPECT_FALSE(record.Mentions("outside"));
                if (c.errorAt != 0) {
                    const std::string lost = ChainLevel("tree", c.errorAt).string();
                    EXPECT_TRUE(record.Mentions("error " + lost + " return"))
                        << record.events.back();
                    EXPECT_EQ(record.events.back().rfind("error " + lost + " return", 0), 0u);
                } else {
                    EXPECT_FALSE(record.Mentions("error"));
                    EXPECT_EQ(record.events.back(), "leave tree @0");
                }
            }
            ASSERT_FALSE(change) << "nothing was moved";
            // Nothing outside the tree, and nothing that took the place of
            // a directory of the tree, is removed.
            EXPECT_TRUE(fs::exists(sentinel / "sentinel-sub/d"));
            EXPECT_TRUE(fs::exists(sentinel / "sentinel-file"));
            EXPECT_EQ(fs::symlink_status(kept).type(),
                      c.replacement == Replacement::Link ? fs::symlink_file : fs::directory_file);
        }
    }
}

// --- Errors ---------------------------------------------------------------------

// The listing of the directory named `failIn` fails with EIO after giving
// `failAfter` entries.
std::string failIn;
int failAfter = 0;
std::map<DIR*, int> givenSoFar;

dirent* ReadAndFail(DIR* listing) {
    const fs::path listed = fs::read_symlink("/proc/self/fd/" + std::to_string(::dirfd(listing)));
    if (listed.filename() == failIn && givenSoFar[listing]++ >= failAfter) {
        errno = EIO;
        return nullptr;
    }
    return ::readdir(listing);
}

TEST(WalkTree, ListingWithoutKindsWhileItsEntriesChange) {
    // The kind of each entry must be asked for; by then the entry may be
    // gone, which leaves nothing to visit, or its status may be refused
    // (the directory no longer searchable), which is told with the entry.
    TempDir dir;
    fs::permissions(dir.path(), fs::perms(0755));
    MakeEntries(dir.path(), {"tree/victim", "tree/kept"});
    meanwhile = [](DIR* listing) {
        if (::unlinkat(::dirfd(listing), "victim", 0) != 0)
            throw std::runtime_error("could not remove the entry");
    };
    EXPECT_EQ(Summary(Walk(dir.path(), "tree", {false, ReadWithoutKinds})),
              "finished\nenter tree @0\nentry tree/kept file @1\nleave tree @0");
    meanwhile = nullptr;

    if (!quorane::test::CanDropPrivileges())
        GTEST_SKIP() << "cannot run a child as an unprivileged user, so permissions that root "
                        "passes cannot be refused";
    WriteFile(dir / "tree/victim", "x");
    ASSERT_EQ(::chown((dir / "tree").c_str(), quorane::test::kUnprivilegedId,
                      quorane::test::kUnprivilegedId),
              0);
    const auto result = quorane::test::RunInChild([&] {
        if (!quorane::test::DropPrivileges()) return std::string("no drop");
        meanwhile = [](DIR* listing) {
            if (::fchmod(::dirfd(listing), 0444) != 0)
                throw std::runtime_error("could not change the directory");
        };
        return Summary(Walk(dir.path(), "tree", {false, ReadWithoutKinds}));
    });
    ::chmod((dir / "tree").c_str(), 0755);
    ASSERT_TRUE(result.has_value());
    // "kept" may come before or after the change.
    const std::string keptBefore = "\nentry tree/kept file @1";
    const std::string keptAfter = "\nentry tree/kept unknown @1 (Permission denied)";
    const std::string start = "finished\nenter tree @0";
    const std::string rest = "\nentry tree/victim unknown @1 (Permission denied)\nleave tree @0";
    EXPECT_TRUE(*result == start + keptBefore + rest || *result == start + keptAfter + rest)
        << *result;
}

TEST(WalkTree, ListingThatFailsIsReportedAfterWhatItGave) {
    struct Case {
        const char* name;
        int failAfter;
        WalkAction answer;  // at the error
        bool leaveBad;      // the failed directory's LeaveDirectory comes
        bool walkGoesOn;    // "good" is walked after the error
    };
    const Case cases[] = {
        {"at once, continue", 0, WalkAction::Continue, true, true},
        {"at once, skip", 0, WalkAction::Skip, false, true},
        {"at once, stop", 0, WalkAction::Stop, false, false},
        {"after its entries, continue", 4, WalkAction::Continue, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        // "bad" lists ".", "..", its file and its subdirectory: four entries.
        MakeEntries(dir.path(), {"tree/bad/inner/", "tree/bad2/good/", "tree/bad/file"});
        failIn = "bad";
        failAfter = c.failAfter;
        givenSoFar.clear();
        // "bad2" is walked after "bad": its own LeaveDirectory comes last.
        const Record record =
            Walk(dir.path(), "tree", {false, ReadAndFail}, [&](const WalkEntry& entry) {
                if (entry.event == WalkEvent::Error) return c.answer;
                return WalkAction::Continue;
            });
        givenSoFar.clear();
        EXPECT_FALSE(record.finished);
        const std::size_t error = record.IndexOf("error tree/bad list Input/output error @1");
        ASSERT_LT(error, record.events.size());
        const std::size_t file = record.IndexOf("entry tree/bad/file file @2");
        const std::size_t inner = record.IndexOf("enter tree/bad/inner @2");
        if (c.failAfter == 0) {
            EXPECT_EQ(file, record.events.size());
            EXPECT_EQ(inner, record.events.size());
        } else {
            EXPECT_LT(file, error);
            EXPECT_GT(inner, error);  // walked on, as though the listing ended there
        }
        EXPECT_EQ(record.Has("leave tree/bad @1"), c.leaveBad);
        EXPECT_EQ(record.Has("leave tree @0"), c.walkGoesOn);
    }
}

TEST(WalkTree, DirectoriesThatCannotBeOpenedOrSearchedAreReported) {
    // As an unprivileged walker sees them. A directory that may be read but
    // not searched has its entries listed but not reached, on one file
    // system or not; a subdirectory of it cannot even be told to lie on it.
    if (!quorane::test::CanDropPrivileges())
        GTEST_SKIP() << "cannot run a child as an unprivileged user, so permissions that root "
                        "passes cannot be refused";
    TempDir dir;
    fs::permissions(dir.path(), fs::perms(0755));
    MakeEntries(dir.path(), {"start/sub/", "start/file", "tree/closed/hidden",
                             "tree/listable/inner/", "tree/listable/only", "tree/file"});
    fs::permissions(dir / "start", fs::perms(0444));
    fs::permissions(dir / "tree/closed", fs::perms(0000));
    fs::permissions(dir / "tree/listable", fs::perms(0704));
    struct Case {
        const char* name;
        bool below;  // WalkBelow of "start", else WalkTree of "tree"
        bool stayOnFileSystem;
        const char* expected;
    };
    const Case cases[] = {
        {"a start that cannot be searched, staying on one file system", true, true,
         "not finished"
         "\nentry file file @1 (Permission denied)"
         "\nerror sub open Permission denied @1"},
        {"a start that cannot be searched, crossing file systems", true, false,
         "not finished"
         "\nenter sub @1 (Permission denied)"
         "\nentry file file @1 (Permission denied)"
         "\nerror sub open Permission denied @1"},
        {"directories closed, or listable and not searchable, in the tree", false, false,
         "not finished"
         "\nenter tree @0"
         "\nenter tree/closed @1"
         "\nenter tree/listable @1"
         "\nenter tree/listable/inner @2 (Permission denied)"
         "\nentry tree/file file @1"
         "\nentry tree/listable/only file @2 (Permission denied)"
         "\nerror tree/closed open Permission denied @1"
         "\nerror tree/listable/inner open Permission denied @2"
         "\nleave tree @0"
         "\nleave tree/listable @1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = quorane::test::RunInChild([&] {
            if (!quorane::test::DropPrivileges()) return std::string("no drop");
            const WalkOptions options{c.stayOnFileSystem, ::readdir};
            if (c.below)
                return Summary(
                    RecordBelow(::open((dir / "start").c_str(), kDirectoryFlags), options));
            return Summary(Walk(dir.path(), "tree", options));
        });
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(*result, c.expected);
    }
}

// --- One file system ------------------------------------------------------------

TEST(WalkTree, StaysOnOneFileSystemWhenAsked) {
    // A tmpfs mounted inside the tree, in a mount namespace of the child's
    // own, so that nothing outside the test sees it.
    TempDir dir;
    MakeEntries(dir.path(), {"tree/mnt/", "tree/same/file", "tree2/late/"});
    const fs::path late = dir / "tree2/late";
    const auto result = quorane::test::RunInChild([&] {
        if (::unshare(CLONE_NEWNS) != 0)
            return "skip: unshare: " + std::string(std::strerror(errno));
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", (dir / "tree/mnt").c_str(), "tmpfs", 0, "size=1m") != 0)
            return "skip: mount: " + std::string(std::strerror(errno));
        MakeEntries(dir.path(), {"tree/mnt/below/", "tree/mnt/mounted"});
        // "tree2" gets a tmpfs mounted on its directory after it was checked
        // and before it is opened: what was opened is checked again.
        const std::tuple<const char*, const char*, bool> walks[] = {
            {"staying:", "tree", true},
            {"crossing:", "tree", false},
            {"mounted meanwhile:", "tree2", true}};
        std::string text;
        for (const auto& [label, root, stay] : walks) {
            const bool mountLate = root == std::string("tree2");
            const Record record =
                Walk(dir.path(), root, {stay, ::readdir}, [&](const WalkEntry& entry) {
                    if (mountLate && entry.event == WalkEvent::EnterDirectory && entry.depth == 1) {
                        if (::mount("tmpfs", late.c_str(), "tmpfs", 0, "size=1m") != 0)
                            throw std::runtime_error("could not mount");
                        WriteFile(late / "mounted", "x");
                    }
                    return WalkAction::Continue;
                });
            text += label + Lines(record) + "\n";
        }
        ::umount((dir / "tree/mnt").c_str());
        ::umount(late.c_str());
        return text;
    });
    ASSERT_TRUE(result.has_value());
    if (result->rfind("skip: ", 0) == 0)
        GTEST_SKIP() << "no private mount namespace with a tmpfs here (" << result->substr(6)
                     << ")";
    EXPECT_EQ(*result,
              "staying:"
              "\nenter tree @0"
              "\nenter tree/same @1"
              "\nentry tree/same/file file @2"
              "\nleave tree @0"
              "\nleave tree/same @1"
              "\nother tree/mnt @1"
              "\ncrossing:"
              "\nenter tree @0"
              "\nenter tree/mnt @1"
              "\nenter tree/mnt/below @2"
              "\nenter tree/same @1"
              "\nentry tree/mnt/mounted file @2"
              "\nentry tree/same/file file @2"
              "\nleave tree @0"
              "\nleave tree/mnt @1"
              "\nleave tree/mnt/below @2"
              "\nleave tree/same @1"
              "\nmounted meanwhile:"
              "\nenter tree2 @0"
              "\nenter tree2/late @1"
              "\nleave tree2 @0"
              "\nother tree2/late @1"
              "\n");
}

}  // namespace
