// Helpers for tests on trees deeper than a path may be long: chains made and
// removed without long paths, and the descriptors a process holds.
#ifndef QUORANE_TESTS_DEEP_TREE_SUPPORT_H
#define QUORANE_TESTS_DEEP_TREE_SUPPORT_H

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <set>

#include <boost/filesystem.hpp>

#include "base/FileDescriptor.h"

namespace quorane::test {

// Descriptors open in this process, the one that lists them left out.
inline std::set<int> OpenDescriptors() {
    std::set<int> open;
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir("/proc/self/fd"), ::closedir);
    if (!listing) return open;
    while (const dirent* entry = ::readdir(listing.get())) {  // NOLINT(concurrency-mt-unsafe)
        if (entry->d_name[0] != '.')
            open.insert(static_cast<int>(std::strtol(entry->d_name, nullptr, 10)));
    }
    open.erase(::dirfd(listing.get()));
    return open;
}

// Opens /dev/null on every free descriptor below the highest one open, so
// that the next descriptor opened is one above all those the process
// inherited, whatever gaps they left. Returns that highest descriptor. For
// children only: what it opens stays open until the process ends.
inline int FillDescriptorsBelowTheHighest() {
    const std::set<int> open = OpenDescriptors();
    const int highest = open.empty() ? -1 : *open.rbegin();
    // Each open takes the lowest free descriptor: the gaps fill in order,
    // and the first one past the highest means there are none left.
    int filler = -1;
    do filler = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    while (filler >= 0 && filler <= highest);
    if (filler > highest) ::close(filler);
    return highest;
}

// Makes a chain of `depth` directories "d" below `root` (made too), each
// holding the empty file "f", with mkdirat and openat only, so that no long
// path is ever needed. Returns the deepest directory, open, or an invalid
// holder.
inline FileDescriptor MakeChain(const boost::filesystem::path& root, int depth) {
    if (::mkdir(root.c_str(), 0755) != 0) return FileDescriptor();
    FileDescriptor current(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (int level = 0; level < depth && current.valid(); ++level) {
        if (::mkdirat(current.get(), "d", 0755) != 0) return FileDescriptor();
        FileDescriptor below(
            ::openat(current.get(), "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!below.valid()) return below;
        const FileDescriptor file(
            ::openat(below.get(), "f", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (!file.valid()) return FileDescriptor();
        current = std::move(below);
    }
    return current;
}

// Removes a tree too deep for a removal by path names, as the field's tool
// does.
inline void RemoveDeep(const boost::filesystem::path& path) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execlp("rm", "rm", "-rf", "--", path.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    if (pid > 0) ::waitpid(pid, &status, 0);
}

}  // namespace quorane::test

#endif  // QUORANE_TESTS_DEEP_TREE_SUPPORT_H
