// An owned POSIX file descriptor, closed when the holder goes away.
#ifndef QUORANE_BASE_FILE_DESCRIPTOR_H
#define QUORANE_BASE_FILE_DESCRIPTOR_H

#include <unistd.h>

#include <utility>

namespace quorane {

class FileDescriptor {
public:
    // Takes `fd`, which may be -1 (nothing owned).
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            if (fd_ >= 0) ::close(fd_);
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

}  // namespace quorane

#endif  // QUORANE_BASE_FILE_DESCRIPTOR_H
