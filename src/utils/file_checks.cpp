// File access checks: file times, counts of regular files, readability and
// writability.
#include "utils/FileChecks.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/system/error_code.hpp>

#include <quorane/QuoraneFile.h>
#include <quorane/Utils.h>
#include "base/FileDescriptor.h"
#include "base/Text.h"
#include "platform/Directories.h"

namespace fs = boost::filesystem;

namespace quorane {

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

// An open directory listing, closed with its descriptor when the holder goes.
class DirectoryListing {
public:
    // Takes `listing`, which may be null (nothing owned).
    explicit DirectoryListing(DIR* listing) : listing_(listing) {}
    ~DirectoryListing() {
        if (listing_ != nullptr) ::closedir(listing_);
    }
    DirectoryListing(DirectoryListing&& other) noexcept
        : listing_(std::exchange(other.listing_, nullptr)) {}
    DirectoryListing(const DirectoryListing&) = delete;
    DirectoryListing& operator=(const DirectoryListing&) = delete;
    DirectoryListing& operator=(DirectoryListing&&) = delete;

    DIR* get() const { return listing_; }

private:
    DIR* listing_;
};

// Takes the open directory `descriptor` as a listing. An empty holder when it
// is -1 or cannot be listed (the descriptor is closed then), the reason left
// in `error`.
DirectoryListing ListingOf(int descriptor, int& error) {
    FileDescriptor owned(descriptor);
    DIR* listing = owned.valid() ? ::fdopendir(owned.get()) : nullptr;
    if (listing == nullptr) {
        error = errno;
        return DirectoryListing(nullptr);
    }
    owned.release();  // the listing closes it now
    return DirectoryListing(listing);
}

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

bool IsDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// One open directory of the walk: its listing and the listing's descriptor,
// the length of its path in the walk's path text, and the error that reaching
// any of its entries gives (0 when they can be reached).
struct Level {
    DirectoryListing listing;
    int descriptor;
    std::size_t pathLength;
    int searchError;
};

// Entry paths as the errors name them: the start directory as given, without
// trailing slashes (unless it is the root directory), then "/" and the names.
std::string ListingPath(const std::string& root) {
    const std::size_t end = root.find_last_not_of('/');
    return end == std::string::npos ? std::string("/") : root.substr(0, end + 1);
}

void AppendName(std::string& path, const char* name) {
    if (path.empty() || path.back() != '/') path += '/';
    path += name;
}

std::string EntryPath(std::string path, const char* name) {
    AppendName(path, name);
    return path;
}

}  // namespace

void CountRegularFiles(const std::string& root, std::int32_t& counter,
                       ReadDirectoryEntry readEntry) {
    int error = 0;
    // The start directory may be reached through a link; nothing below it is.
    DirectoryListing top =
        ListingOf(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), error);
    if (top.get() == nullptr) RaiseOpenError(root, error);
    const int topDescriptor = ::dirfd(top.get());
    struct stat self {};
    const int topSearchError =
        ::fstatat(topDescriptor, ".", &self, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;

    // The path of the directory being listed, kept for the errors only: every
    // open and status query goes relative to a directory descriptor.
    std::string path = ListingPath(root);
    // One open listing per level of the tree, the deepest last.
    std::vector<Level> levels;
    levels.push_back(Level{std::move(top), topDescriptor, path.size(), topSearchError});
    bool started = false;  // has any listing given an entry yet?

    while (!levels.empty()) {
        Level& level = levels.back();
        errno = 0;
        const dirent* entry = readEntry(level.listing.get());
        if (entry == nullptr) {
            if (errno != 0) {
                if (!started) RaiseFirstReadError(path, errno);
                RaiseWalkError(errno);
            }
            levels.pop_back();
            if (!levels.empty()) path.resize(levels.back().pathLength);
            continue;
        }
        const char* name = entry->d_name;
        if (IsDotOrDotDot(name)) continue;
        started = true;

        // A status query of the entry by its whole path would fail for a
        // path of PATH_MAX bytes or more; so does this walk, although it
        // needs no such path, so that the trees it counts stay the same.
        if (level.pathLength + 1 + NAME_MAX >= PATH_MAX &&
            level.pathLength + 1 + std::strlen(name) >= PATH_MAX) {
            RaiseEntryError(EntryPath(path, name), ENAMETOOLONG);
        }

        // A directory may be listed while its entries cannot be reached
        // (no search permission); the first entry raises then, as a status
        // query of it would.
        if (level.searchError != 0) RaiseEntryError(EntryPath(path, name), level.searchError);

        // The listing tells the kind of an entry, except on filesystems that
        // leave it unknown: a status query tells it then.
        unsigned char kind = entry->d_type;
        if (kind == DT_UNKNOWN) {
            struct stat info {};
            if (::fstatat(level.descriptor, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                if (IsMissing(errno)) continue;  // gone since the listing was read
                RaiseEntryError(EntryPath(path, name), errno);
            }
            kind = IFTODT(info.st_mode);
        }

        if (kind == DT_DIR) {
            int searchError = 0;
            DirectoryListing below =
                ListingOf(platform::OpenDirectoryBelow(level.descriptor, name, searchError), error);
            if (below.get() != nullptr) {
                AppendName(path, name);
                const int descriptor = ::dirfd(below.get());
                // `level` is not used past this point: the push may move it.
                levels.push_back(Level{std::move(below), descriptor, path.size(), searchError});
                continue;
            }
            if (error == ENOENT) continue;  // gone since the listing was read
            if (error != ENOTDIR && error != ELOOP) RaiseWalkError(error);
            // No longer a directory (replaced by a file or a link since the
            // listing was read): count it as what it is now.
            struct stat info {};
            if (::fstatat(level.descriptor, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                if (IsMissing(errno)) continue;
                RaiseEntryError(EntryPath(path, name), errno);
            }
            kind = IFTODT(info.st_mode);
            if (kind == DT_DIR) RaiseWalkError(error);
        }

        if (kind == DT_REG) {
            ++counter;
        } else if (kind == DT_LNK) {
            // Counted when it leads to a regular file. A link to nothing
            // counts nothing; any other failure, a loop of links included,
            // raises.
            struct stat target {};
            if (::fstatat(level.descriptor, name, &target, 0) == 0) {
                if (S_ISREG(target.st_mode)) ++counter;
            } else if (!IsMissing(errno)) {
                RaiseEntryError(EntryPath(path, name), errno);
            }
        }
    }
}

}  // namespace quorane

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

bool GetFileTimes(std::string path, int64_t* changeTime, int64_t* modifyTime, int64_t* accessTime) {
    return GetFileTimes(quorane::WideForm(path), changeTime, modifyTime, accessTime);
}

void GetFileCount(std::wstring dir, int32_t& counter) {
    const std::string p = quorane::NarrowForm(dir);
    if (!fs::exists(fs::status(p))) return;
    quorane::CountRegularFiles(p, counter);
}

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

bool IsOpenAnotherProcess(std::wstring) { return false; }
