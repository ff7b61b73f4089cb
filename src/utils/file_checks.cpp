// File access checks: file times, counts of regular files, readability and
// writability.
#include "utils/FileChecks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <boost/filesystem.hpp>

#include "QuoraneFile.h"
#include "Utils.h"
#include "base/Text.h"

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
    const fs::path p = quorane::NarrowForm(dir);
    if (!fs::exists(fs::status(p))) return;
    // Default options: links to directories are listed but not descended into,
    // and a directory that cannot be opened raises the error to the caller.
    for (fs::recursive_directory_iterator it(p), end; it != end; ++it) {
        // The walk has already asked for the entry's own kind; only a link
        // needs a second query for the kind it leads to.
        fs::file_status kind = it->symlink_status();
        if (fs::is_symlink(kind)) kind = it->status();
        if (fs::is_regular_file(kind)) ++counter;
    }
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
