// CQuoraneFile: opening, positioning, reading and writing one POSIX
// descriptor.
#include <quorane/QuoraneFile.h>

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>

#include "base/Text.h"

namespace {

constexpr mode_t kCreateMode = 0777;
constexpr size_t kChunkSize = 4096;

}  // namespace

CQuoraneFile::CQuoraneFile() : m_descriptor(-1) {}

CQuoraneFile::CQuoraneFile(std::string path, int flags) : m_descriptor(-1) {
    Open(std::move(path), flags);
}

CQuoraneFile::CQuoraneFile(std::wstring path, int flags) : m_descriptor(-1) {
    Open(std::move(path), flags);
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes arguments by value
bool CQuoraneFile::Open(std::string path, int flags) {
    m_filePath = quorane::WideForm(path);
    m_descriptor = ::open(path.c_str(), flags, kCreateMode);
    return m_descriptor != -1;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes arguments by value
bool CQuoraneFile::Open(std::wstring path, int flags) {
    m_filePath = path;
    m_descriptor = ::open(quorane::NarrowForm(path).c_str(), flags, kCreateMode);
    return m_descriptor != -1;
}

// The public header declares it non-const, and the ABI is fixed.
// NOLINTNEXTLINE(readability-make-member-function-const)
bool CQuoraneFile::IsOpen() { return m_descriptor != -1; }

int64_t CQuoraneFile::Seek(uint64_t offset, int whence) {
    if (!IsOpen()) return -1;
    return ::lseek(m_descriptor, static_cast<off_t>(offset), whence);
}

bool CQuoraneFile::Truncate(uint64_t length) {
    if (!IsOpen()) return false;
    // Moving first leaves the position at the new end whether the file shrank
    // or grew; a length beyond the largest offset fails here.
    if (::lseek(m_descriptor, static_cast<off_t>(length), SEEK_SET) == -1) return false;
    return ::ftruncate(m_descriptor, static_cast<off_t>(length)) == 0;
}

int32_t CQuoraneFile::Read(void* buffer, uint64_t size) {
    if (buffer == nullptr || !IsOpen()) return -1;
    return static_cast<int32_t>(::read(m_descriptor, buffer, size));
}

std::string CQuoraneFile::ReadToString() {
    std::string content;
    if (!IsOpen()) return content;
    char chunk[kChunkSize];
    for (;;) {
        const ssize_t count = ::read(m_descriptor, chunk, sizeof chunk);
        if (count <= 0) break;
        content.append(chunk, static_cast<size_t>(count));
    }
    return content;
}

std::wstring CQuoraneFile::ReadToWstring() {
    if (!IsOpen()) return {};
    return quorane::WideForm(ReadToString());
}

int32_t CQuoraneFile::Write(const void* data, uint64_t size) {
    if (data == nullptr || !IsOpen()) return -1;
    if (size == 0) return 0;
    return static_cast<int32_t>(::write(m_descriptor, data, size));
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes arguments by value
bool CQuoraneFile::Write(std::string text) {
    if (!IsOpen()) return false;
    return WriteAll(text);
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes arguments by value
bool CQuoraneFile::Write(std::wstring text) {
    if (!IsOpen()) return false;
    return WriteAll(quorane::NarrowForm(text));
}

// The public header declares it non-const, and the ABI is fixed.
// NOLINTNEXTLINE(readability-make-member-function-const)
bool CQuoraneFile::WriteAll(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(m_descriptor, bytes.data() + done, bytes.size() - done);
        if (written == -1) return false;
        done += static_cast<size_t>(written);
    }
    return true;
}

bool CQuoraneFile::Close() {
    if (!IsOpen()) return false;
    if (::close(m_descriptor) != 0) return false;
    m_descriptor = -1;
    return true;
}

std::wstring CQuoraneFile::GetFilePath() { return m_filePath; }
