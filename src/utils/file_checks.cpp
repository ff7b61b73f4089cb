// File access checks: file times, counts of regular files, readability and
// writability.
#include "utils/FileChecks.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <utility>

#include <boost/filesystem.hpp>
#include <boost/system/error_code.hpp>

#include <quorane/QuoraneFile.h>
#include <quorane/Utils.h>
#include "base/FileDescriptor.h"
#include "base/Text.h"
#include "platform/TreeWalk.h"

namespace fs = boost::filesystem;

namespace quorane {

OpenedPath OpenWithoutWaiting(const std::string& path) {
    OpenedPath opened;
    // O_NONBLOCK: a FIFO without a writer (or a device waiting for its line)
    // lets the open return at once. O_NOCTTY: a terminal opened here never
    // becomes the process's controlling terminal.
    FileDescriptor descriptor(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (!descriptor.valid() || ::fstat(descriptor.get(), &info) != 0) return opened;
    if (S_ISDIR(info.st_mode)) {
        opened.kind = FileKind::Directory;
    } else if (!S_ISREG(info.st_mode)) {
        opened.kind = FileKind::Other;
    } else {
        // A regular file is read as usual; the flag only mattered for the open.
        const int flags = ::fcntl(descriptor.get(), F_GETFL);
        if (flags == -1 || ::fcntl(descriptor.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
            return opened;
        opened.kind = FileKind::Regular;
        opened.descriptor = std::move(descriptor);
    }
    return opened;
}

bool WriteProbe(const std::string& probePath) {
    // O_EXCL: the probe must be a file of our own making. Should a file of
    // that name exist already, it is left alone rather than overwritten and
    // then deleted.
    CQuoraneFile probe(probePath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC);
    if (!probe.IsOpen()) return false;
    const bool written = probe.Write(probePath);
    probe.Close();
    fs::remove(probePath);
    return written;
}

namespace {

// The errors below are raised with the messages, paths and codes that
// Boost's recursive directory iterator gives for the same failures, so that a
// caller sees the same exception whichever walk found the fault.
boost::system::error_code SystemError(int error) {
    return boost::system::error_code(error, boost::system::system_category());
}

// The start directory cannot be opened.
[[noreturn]] void RaiseOpenError(const std::string& root, int error) {
    throw fs::filesystem_error("boost::filesystem::directory_iterator::construct", root,
                               SystemError(error));
}

// The start directory's listing fails before it has given an entry.
[[noreturn]] void RaiseFirstReadError(const std::string& rootPath, int error) {
    throw fs::filesystem_error("boost::filesystem::directory_iterator::operator++", rootPath,
                               SystemError(error));
}

// A directory of the tree cannot be opened, or a listing fails later on.
[[noreturn]] void RaiseWalkError(int error) {
    throw fs::filesystem_error("filesystem::recursive_directory_iterator increment error",
                               SystemError(error));
}

// An entry cannot be examined, or what a link leads to cannot be told.
[[noreturn]] void RaiseEntryError(const std::string& entryPath, int error) {
    throw fs::filesystem_error("boost::filesystem::status", entryPath, SystemError(error));
}

// A status query that finds nothing there: no error, nothing to count.
bool IsMissing(int error) { return error == ENOENT || error == ENOTDIR; }

// Entry paths as the errors name them: the start directory as given, without
// trailing slashes (unless it is the root directory), then "/" and the names.
std::string ListingPath(const std::string& root) {
    const std::size_t end = root.find_last_not_of('/');
    return end == std::string::npos ? std::string("/") : root.substr(0, end + 1);
}

std::string EntryPath(std::string path, const std::string& below) {
    if (path.empty() || path.back() != '/') path += '/';
    return path += below;
}

}  // namespace

void CountRegularFiles(const std::string& root, std::int32_t& counter,
                       ReadDirectoryEntry readEntry) {
    // The start directory may be reached through a link; nothing below it is.
    const int top = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (top < 0) RaiseOpenError(root, errno);

    // Paths are made for the errors only: the walk reaches every entry
    // relative to its directory's descriptor, at any depth.
    const std::string rootPath = ListingPath(root);
    bool started = false;  // has any listing given an entry yet?
    platform::WalkOptions options;
    options.readEntry = readEntry;
    const auto count = [&](const platform::WalkEntry& entry) {
        using platform::WalkEvent;
        switch (entry.event) {
            case WalkEvent::Entry:
            case WalkEvent::EnterDirectory:
                started = true;
                // Known to fail when asked: the directory holding it cannot
                // be searched, or its status query failed already.
                if (entry.error != 0)
                    RaiseEntryError(EntryPath(rootPath, entry.Path()), entry.error);
                break;
            case WalkEvent::Error:
                if (entry.depth == 0 && !started) RaiseFirstReadError(rootPath, entry.error);
                RaiseWalkError(entry.error);
            default:
                break;
        }
        if (entry.event != WalkEvent::Entry) return platform::WalkAction::Continue;
        if (entry.type == DT_REG) {
            ++counter;
        } else if (entry.type == DT_LNK) {
            // Counted when it leads to a regular file. A link to nothing
            // counts nothing; any other failure, a loop of links included,
            // raises.
            struct stat target {};
            if (::fstatat(entry.parent, entry.name, &target, 0) == 0) {
                if (S_ISREG(target.st_mode)) ++counter;
            } else if (!IsMissing(errno)) {
                RaiseEntryError(EntryPath(rootPath, entry.Path()), errno);
            }
        }
        return platform::WalkAction::Continue;
    };
    platform::WalkBelow(top, count, options);
}

}  // namespace quorane

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes arguments by value
bool GetFileTimes(std::wstring path, int64_t* changeTime, int64_t* modifyTime,
                  int64_t* accessTime) {
    const std::string p = quorane::NarrowForm(path);
    try {
        if (!fs::exists(fs::status(p))) return false;
    } catch (const fs::filesystem_error&) {
        return false;
    }
    // The times of the path itself: a final symbolic link is not followed.
    struct stat info {};
    if (::lstat(p.c_str(), &info) != 0) return false;
    if (changeTime != nullptr) *changeTime = info.st_ctim.tv_sec;
    if (modifyTime != nullptr) *modifyTime = info.st_mtim.tv_sec;
    if (accessTime != nullptr) *accessTime = info.st_atim.tv_sec;
    return true;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes arguments by value
bool GetFileTimes(std::string path, int64_t* changeTime, int64_t* modifyTime, int64_t* accessTime) {
    return GetFileTimes(quorane::WideForm(path), changeTime, modifyTime, accessTime);
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes arguments by value
void GetFileCount(std::wstring dir, int32_t& counter) {
    const std::string p = quorane::NarrowForm(dir);
    if (!fs::exists(fs::status(p))) return;
    quorane::CountRegularFiles(p, counter);
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes arguments by value
bool IsReadable(std::wstring path) {
    const std::string p = quorane::NarrowForm(path);
    try {
        if (fs::is_directory(fs::status(p))) {
            // Whether it is empty does not matter; listing it must work.
            fs::is_empty(p);
            return true;
        }
    } catch (const fs::filesystem_error&) {
        return false;
    }
    // O_NONBLOCK keeps a FIFO or terminal from holding the check up until a
    // writer or input appears; it changes nothing for regular files. Such a
    // file that opens but has nothing to read yet is readable all the same.
    CQuoraneFile file(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (!file.IsOpen()) return false;
    char byte = 0;
    const int32_t count = file.Read(&byte, 1);
    const bool wouldBlock = count == -1 && (errno == EAGAIN || errno == EWOULDBLOCK);
    file.Close();
    return count != -1 || wouldBlock;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes arguments by value
bool IsWritable(std::wstring path) {
    const std::string p = quorane::NarrowForm(path);
    try {
        if (fs::is_directory(fs::status(p)))
            return quorane::WriteProbe(AppendPathToString(p, CreateUUIDString()));
    } catch (const fs::filesystem_error&) {
        return false;
    }
    return ::access(p.c_str(), W_OK) == 0;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes arguments by value
bool IsOpenAnotherProcess(std::wstring) { return false; }
