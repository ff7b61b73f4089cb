// An owned POSIX file descriptor, closed when the holder goes away.
#ifndef QUORANE_UTILS_FILE_DESCRIPTOR_H
#define QUORANE_UTILS_FILE_DESCRIPTOR_H

#include <unistd.h>

#include <utility>

namespace quorane {

class FileDescriptor {
public:
    // Takes `fd`, which may be -1 (nothing owned).
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Hands the descriptor over to the caller, who closes it from now on.
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

}  // namespace quorane

#endif  // QUORANE_UTILS_FILE_DESCRIPTOR_H
