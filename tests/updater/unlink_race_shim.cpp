// Preloaded into the updater by the race tests, to act as someone who may
// write the install directory could at just the wrong moment:
//  - at the first deletion the process makes (unlink, unlinkat or rmdir), it
//    swaps the Contents directory of the quoranees.app backup in
//    $QUORANE_RACE_INSTALL for a symbolic link to $QUORANE_RACE_TARGET;
//  - at the first openat of the name $QUORANE_RACE_FIFO, it replaces that
//    entry with a FIFO just before the open;
//  - at the first openat of the name $QUORANE_RACE_GONE, it removes that
//    entry just before the open;
//  - at the first openat of the name $QUORANE_RACE_LOOP, it replaces that
//    entry with a symbolic link to itself just before the open;
//  - when $QUORANE_RACE_PREAD_EINTR is set, the first pread fails with EINTR
//    having read nothing, as though a signal had interrupted it;
//  - the first unlinkat of an entry named $QUORANE_RACE_BUSY (its last
//    component) fails with EBUSY, removing nothing, as a file still in use
//    can on some file systems; later ones go through.
// The programs the updater starts do not inherit it.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool raced = false;

__attribute__((constructor)) void KeepOutOfChildren() { unsetenv("LD_PRELOAD"); }

void RaceOnce() {
    if (raced) return;
    raced = true;
    const char* install = std::getenv("QUORANE_RACE_INSTALL");
    const char* target = std::getenv("QUORANE_RACE_TARGET");
    if (install == nullptr || target == nullptr) return;
    DIR* listing = opendir(install);
    if (listing == nullptr) return;
    std::string backup;
    while (const dirent* entry = readdir(listing)) {
        if (std::strncmp(entry->d_name, "quoranees.app.", 14) == 0)
            backup = std::string(install) + "/" + entry->d_name;
    }
    closedir(listing);
    if (backup.empty()) return;
    if (rename((backup + "/Contents").c_str(), (backup + "/Contents.moved").c_str()) == 0)
        symlink(target, (backup + "/Contents").c_str());
}

template <typename Function>
Function Next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

bool fifoPlanted = false;

void PlantFifoOnce(int directory, const char* path) {
    const char* name = std::getenv("QUORANE_RACE_FIFO");
    if (fifoPlanted || name == nullptr || std::strcmp(path, name) != 0) return;
    fifoPlanted = true;
    if (unlinkat(directory, path, 0) == 0) mkfifoat(directory, path, 0600);
}

bool goneDone = false, loopDone = false;

// Removes the entry, or replaces it with a link to itself, when it is the
// one named for that and its turn has not come yet.
void ReplaceOnce(int directory, const char* path) {
    const char* gone = std::getenv("QUORANE_RACE_GONE");
    if (!goneDone && gone != nullptr && std::strcmp(path, gone) == 0) {
        goneDone = true;
        unlinkat(directory, path, 0);
    }
    const char* loop = std::getenv("QUORANE_RACE_LOOP");
    if (!loopDone && loop != nullptr && std::strcmp(path, loop) == 0) {
        loopDone = true;
        if (unlinkat(directory, path, 0) == 0) symlinkat(path, directory, path);
    }
}

// openat and openat64 alike: plants the FIFO, removes or replaces the entry
// when that is due, then opens through the real `symbol`, with the mode only
// when the flags call for one.
int OpenAt(const char* symbol, int directory, const char* path, int flags, va_list rest) {
    PlantFifoOnce(directory, path);
    ReplaceOnce(directory, path);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(rest, mode_t) : 0;
    return Next<int (*)(int, const char*, int, ...)>(symbol)(directory, path, flags, mode);
}

bool preadInterrupted = false;

// pread and pread64 alike: the first call fails with EINTR when asked to.
ssize_t PRead(const char* symbol, int fd, void* buffer, size_t count, off_t offset) {
    if (!preadInterrupted && std::getenv("QUORANE_RACE_PREAD_EINTR") != nullptr) {
        preadInterrupted = true;
        errno = EINTR;
        return -1;
    }
    return Next<ssize_t (*)(int, void*, size_t, off_t)>(symbol)(fd, buffer, count, offset);
}

bool busyDone = false;

// Whether this removal of `path` is the one that is to fail.
bool FailsAsBusy(const char* path) {
    const char* busy = std::getenv("QUORANE_RACE_BUSY");
    if (busyDone || busy == nullptr) return false;
    const char* slash = std::strrchr(path, '/');
    if (std::strcmp(slash == nullptr ? path : slash + 1, busy) != 0) return false;
    busyDone = true;
    return true;
}

}  // namespace

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): libc's names are reserved
extern "C" __attribute__((visibility("default"))) ssize_t pread(int fd, void* buffer, size_t count,
                                                                off_t offset) {
    return PRead("pread", fd, buffer, count, offset);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): libc's names are reserved
extern "C" __attribute__((visibility("default"))) ssize_t pread64(int fd, void* buffer,
                                                                  size_t count, off_t offset) {
    return PRead("pread64", fd, buffer, count, offset);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): libc's names are reserved
extern "C" __attribute__((visibility("default"))) int openat(int directory, const char* path,
                                                             int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const int opened = OpenAt("openat", directory, path, flags, rest);
    va_end(rest);
    return opened;
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): libc's names are reserved
extern "C" __attribute__((visibility("default"))) int openat64(int directory, const char* path,
                                                               int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const int opened = OpenAt("openat64", directory, path, flags, rest);
    va_end(rest);
    return opened;
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): libc's names are reserved
extern "C" __attribute__((visibility("default"))) int unlink(const char* path) {
    RaceOnce();
    return Next<int (*)(const char*)>("unlink")(path);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): libc's names are reserved
extern "C" __attribute__((visibility("default"))) int unlinkat(int directory, const char* path,
                                                               int flags) {
    RaceOnce();
    if (FailsAsBusy(path)) {
        errno = EBUSY;
        return -1;
    }
    return Next<int (*)(int, const char*, int)>("unlinkat")(directory, path, flags);
}

extern "C" __attribute__((visibility("default"))) int rmdir(const char* path) {
    RaceOnce();
    return Next<int (*)(const char*)>("rmdir")(path);
}
