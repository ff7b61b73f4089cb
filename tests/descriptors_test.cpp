// The descriptors the library opens for itself: each one close-on-exec, so
// that a program starting a child in another thread meanwhile does not hand
// it over, and none left open once a function returns, on any path.
//
// This executable defines open, openat and socket itself; the library's calls
// reach these definitions first, which note the flags and pass the call on.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <quorane/QuoraneFile.h>
#include <quorane/Utils.h>
#include "DeepTreeSupport.h"
#include "TestSupport.h"

namespace {

// Every open and socket call since the last Clear(), with whether it asked for
// close-on-exec.
struct Opened {
    std::string call;
    bool closeOnExec;
};
// Never destroyed: descriptors are still opened after the static objects are
// gone (gcov writes its counts at exit), and those calls must find it alive.
std::vector<Opened>& Calls() {
    static auto* const calls = new std::vector<Opened>;
    return *calls;
}

template <typename Function>
Function Next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// Notes the call, and returns the mode that follows `flags` in `rest`.
mode_t Note(const char* call, const char* path, int flags, va_list& rest) {
    Calls().push_back({std::string(call) + " " + path, (flags & O_CLOEXEC) != 0});
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(rest, mode_t) : 0;
}

}  // namespace

// glibc declares these with reserved parameter names, which readable
// definitions do not repeat.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" int open(const char* path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const mode_t mode = Note("open", path, flags, rest);
    va_end(rest);
    return Next<int (*)(const char*, int, ...)>("open")(path, flags, mode);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" int open64(const char* path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const mode_t mode = Note("open64", path, flags, rest);
    va_end(rest);
    return Next<int (*)(const char*, int, ...)>("open64")(path, flags, mode);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" int openat(int directory, const char* path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const mode_t mode = Note("openat", path, flags, rest);
    va_end(rest);
    return Next<int (*)(int, const char*, int, ...)>("openat")(directory, path, flags, mode);
}

extern "C" int socket(int domain, int type, int protocol) {
    Calls().push_back({"socket", (type & SOCK_CLOEXEC) != 0});
    return Next<int (*)(int, int, int)>("socket")(domain, type, protocol);
}

namespace {

using quorane::test::OpenDescriptors;
using quorane::test::TempDir;
using quorane::test::WriteFile;
namespace fs = boost::filesystem;

// Each file function, on every kind of path the tests make.
std::vector<std::pair<std::string, std::function<void(const std::wstring&)>>> FileFunctions() {
    return {
        {"IsReadable", [](const std::wstring& p) { IsReadable(p); }},
        {"IsWritable", [](const std::wstring& p) { IsWritable(p); }},
        {"GetFileSignature", [](const std::wstring& p) { GetFileSignature(p); }},
        {"IsImageFile", [](const std::wstring& p) { IsImageFile(p); }},
        {"IsPdf", [](const std::wstring& p) { IsPdf(p); }},
        {"GetFileTimes", [](const std::wstring& p) { GetFileTimes(p, nullptr, nullptr, nullptr); }},
        {"GetFileCount",
         [](const std::wstring& p) {
             int32_t counter = 0;
             try {
                 GetFileCount(p, counter);
             } catch (const fs::filesystem_error&) {
             }
         }},
        {"GetMimeType", [](const std::wstring& p) { GetMimeType(p); }},
    };
}

// GIO reads its type database with descriptors of its own making.
bool OpensOnlyItsOwn(const std::string& function) { return function != "GetMimeType"; }

class OwnDescriptorsTest : public testing::Test {
protected:
    void SetUp() override {
        WriteFile(dir / "file.pdf", "%PDF-1.4 and more");
        WriteFile(dir / "locked", "x");
        fs::permissions(dir / "locked", fs::perms(0));
        fs::create_directories(dir / "tree" / "sub");
        WriteFile(dir / "tree" / "sub" / "a", "a");
        fs::create_symlink("file.pdf", dir / "link");
        ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
        for (const char* name :
             {"file.pdf", "locked", "tree", "link", "fifo", "missing", "file.pdf/below"})
            paths.push_back(dir / name);
    }

    TempDir dir;
    std::vector<fs::path> paths;
};

TEST_F(OwnDescriptorsTest, EveryDescriptorTheFileFunctionsOpenIsCloseOnExec) {
    for (const auto& [name, function] : FileFunctions()) {
        if (!OpensOnlyItsOwn(name)) continue;
        for (const fs::path& path : paths) {
            SCOPED_TRACE(name + " on " + path.string());
            Calls().clear();
            function(path.wstring());
            for (const Opened& opened : Calls()) EXPECT_TRUE(opened.closeOnExec) << opened.call;
        }
    }
    // The network and host functions' sockets.
    Calls().clear();
    CheckTcpPort("0");
    GetLocalIP();
    GetLocalMAC();
    ASSERT_FALSE(Calls().empty());
    for (const Opened& opened : Calls()) EXPECT_TRUE(opened.closeOnExec) << opened.call;
}

TEST_F(OwnDescriptorsTest, NoFileFunctionLeavesADescriptorOpen) {
    for (const auto& [name, function] : FileFunctions()) {
        for (const fs::path& path : paths) {
            SCOPED_TRACE(name + " on " + path.string());
            const std::set<int> before = OpenDescriptors();
            function(path.wstring());
            EXPECT_EQ(OpenDescriptors(), before);
        }
    }
}

// The check above sees what it is meant to see: an open the library makes
// without close-on-exec would be caught.
TEST(OwnDescriptorsCheck, SeesTheFlagsOfTheLibrarysOpens) {
    TempDir dir;
    WriteFile(dir / "f", "x");
    Calls().clear();
    CQuoraneFile file((dir / "f").string(), O_RDONLY);
    ASSERT_TRUE(file.IsOpen());
    file.Close();
    ASSERT_EQ(Calls().size(), 1u);
    EXPECT_FALSE(Calls()[0].closeOnExec);
}

}  // namespace
