// CQuoraneFile: a thin wrapper around one POSIX file descriptor and the path
// it was opened with.
//
// Every failure is reported through the result (false, -1 or an empty
// string); the class throws nothing of its own and records no reason. An
// operation on a closed object fails at once without a system call.
//
// The destructor does NOT close the descriptor: whoever opens a file calls
// Close. Objects copy as plain values, so copies share the descriptor number.
#ifndef QUORANE_QUORANE_FILE_H
#define QUORANE_QUORANE_FILE_H

#include <cstdint>
#include <string>

#include "Export.h"

class QUORANE_API CQuoraneFile {
public:
    // A closed object with an empty path.
    CQuoraneFile();
    // Opens the path as Open does; when that fails the object is closed and
    // still keeps the path.
    CQuoraneFile(std::string path, int flags);
    CQuoraneFile(std::wstring path, int flags);

    // Opens the path with the open(2) flags given, unchanged, and mode 0777
    // (less the umask; it matters only when the file is created). The path is
    // stored whether or not the open succeeds. An object that is already open
    // is not closed first: its old descriptor is simply forgotten.
    bool Open(std::string path, int flags);
    bool Open(std::wstring path, int flags);

    // True when the most recent Open succeeded and no Close has succeeded since.
    bool IsOpen();

    // The new position, or -1. The offset is handed to lseek bit for bit, so a
    // backward move is given as the two's complement of the distance.
    int64_t Seek(uint64_t offset, int whence);

    // Sets the file's length to `length` (cutting or zero-extending it) and
    // leaves the position there.
    bool Truncate(uint64_t length);

    // One read(2): bytes read, 0 at end of file, -1 on failure or for a null
    // buffer. No retry after a short or interrupted read.
    int32_t Read(void* buffer, uint64_t size);

    // The rest of the file from the current position, byte for byte; an error
    // part-way gives what was read before it.
    std::string ReadToString();

    // The rest of the file decoded from UTF-8, up to its first NUL byte;
    // ill-formed bytes are left out and a byte-order mark is kept as U+FEFF.
    std::wstring ReadToWstring();

    // One write(2): bytes written, -1 on failure or for null data, 0 for a
    // size of 0 (without a system call).
    int32_t Write(const void* data, uint64_t size);

    // Writes every byte of the text (NUL bytes included); false on a write
    // error, after which the bytes already written stay.
    bool Write(std::string text);

    // Writes the UTF-8 form of the text up to its first NUL character.
    bool Write(std::wstring text);

    // Closes the descriptor; on failure the object stays open.
    bool Close();

    // The path given to the most recent Open, also after a failed Open or a
    // Close.
    std::wstring GetFilePath();

private:
    bool WriteAll(const std::string& bytes);

    int32_t m_descriptor;
    std::wstring m_filePath;
};

#endif  // QUORANE_QUORANE_FILE_H
