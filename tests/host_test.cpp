// Host queries: TCP port availability against sockets the tests hold, the
// processor brand text against /proc/cpuinfo, and the constant answers.
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Utils.h"
#include "platform/Processor.h"

namespace {

using quorane::test::ReadFile;
using quorane::test::TempDir;
using quorane::test::WriteFile;

// An IPv4 TCP socket the test holds, bound to a port the system picks.
class HeldPort {
public:
    explicit HeldPort(bool listen, in_addr_t address = INADDR_ANY) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in bound{};
        bound.sin_family = AF_INET;
        bound.sin_addr.s_addr = htonl(address);
        socklen_t length = sizeof bound;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0 ||
            (listen && ::listen(fd_, 1) != 0) ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
            Close();
            return;
        }
        port_ = ntohs(bound.sin_port);
    }
    ~HeldPort() { Close(); }
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;

    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool ok() const { return port_ != 0; }
    std::string text() const { return std::to_string(port_); }

private:
    int fd_ = -1;
    int port_ = 0;
};

// A port that was free a moment ago.
std::string FreePort() {
    HeldPort probe(false);
    return probe.ok() ? probe.text() : "";
}

int OpenDescriptorCount() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr) ++count;
        ::closedir(dir);
    }
    return count;
}

TEST(CheckTcpPort, PortHeldByAListenerIsTakenUntilClosed) {
    HeldPort listener(true);
    ASSERT_TRUE(listener.ok());
    for (const std::string& text :
         {listener.text(), "+" + listener.text(), "0" + listener.text()}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(CheckTcpPort(text));
    }
    listener.Close();
    EXPECT_TRUE(CheckTcpPort(listener.text()));
}

TEST(CheckTcpPort, PortBoundWithoutListeningOrOnLoopbackOnlyIsTaken) {
    // The test binds every local address, so a socket on 127.0.0.1 alone
    // conflicts with it too.
    HeldPort bound(false);
    HeldPort loopback(true, INADDR_LOOPBACK);
    ASSERT_TRUE(bound.ok());
    ASSERT_TRUE(loopback.ok());
    EXPECT_FALSE(CheckTcpPort(bound.text()));
    EXPECT_FALSE(CheckTcpPort(loopback.text()));
}

TEST(CheckTcpPort, TextForms) {
    const std::string port = FreePort();
    ASSERT_FALSE(port.empty());
    const struct {
        std::string text;
        bool free;
    } cases[] = {
        {port, true},
        {"+" + port, true},
        {"0" + port, true},
        {"00" + port, true},
        // 0 asks the system for any free port.
        {"0", true},
        {"+0", true},
        {"-0", true},
        {" " + port, false},
        {port + " ", false},
        {port + "\n", false},
        {port + "a", false},
        {"0x50", false},
        {"80a", false},
        {"", false},
        {" ", false},
        {"+", false},
        {"-", false},
        {"1e3", false},
        {"12.0", false},
        {"2147483648", false},
        {"-2147483649", false},
        {"99999999999999999999", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("\"" + c.text + "\"");
        EXPECT_EQ(CheckTcpPort(c.text), c.free);
    }
}

// Numbers outside 0..65535 name no port. Taking their low 16 bits would turn
// 65536 into port 0, which always binds, and -1 into port 65535.
TEST(CheckTcpPort, NumbersOutsideThePortRangeAreRefused) {
    const std::string port = FreePort();
    ASSERT_FALSE(port.empty());
    const std::string aliasOfPort = std::to_string(65536 + std::stoi(port));
    for (const std::string& text :
         {std::string("65536"), std::string("-65536"), std::string("131072"), std::string("-1"),
          std::string("2147483647"), std::string("-2147483648"), aliasOfPort}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(CheckTcpPort(text));
    }
    EXPECT_TRUE(CheckTcpPort(port));
}

TEST(CheckTcpPort, LeavesNoDescriptorOpen) {
    HeldPort listener(true);
    ASSERT_TRUE(listener.ok());
    const int before = OpenDescriptorCount();
    for (const std::string& text :
         {listener.text(), FreePort(), std::string("0"), std::string("x"), std::string("70000")}) {
        SCOPED_TRACE(text);
        CheckTcpPort(text);
        EXPECT_EQ(OpenDescriptorCount(), before);
    }
}

TEST(CheckTcpPort, PortTheCallerMayNotBindIsTaken) {
    std::ifstream limit("/proc/sys/net/ipv4/ip_unprivileged_port_start");
    int firstUnprivileged = 1024;
    limit >> firstUnprivileged;
    if (firstUnprivileged <= 1) GTEST_SKIP() << "every port may be bound without privileges here";
    if (!quorane::test::CanDropPrivileges()) GTEST_SKIP() << "cannot run as an unprivileged user";

    // The highest privileged port that is free for root right now.
    int port = firstUnprivileged - 1;
    while (port > 0 && !CheckTcpPort(std::to_string(port))) --port;
    if (port == 0) GTEST_SKIP() << "no free privileged port";
    const std::string text = std::to_string(port);
    const auto asUser = quorane::test::RunUnprivileged([&] { return CheckTcpPort(text) ? 1 : 0; });
    ASSERT_TRUE(asUser);
    EXPECT_EQ(*asUser, 0) << "port " << text;
}

// The first "model name" value of /proc/cpuinfo, read independently.
std::optional<std::string> CpuInfoModelName() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) != 0) continue;
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        auto value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        return value;
    }
    return std::nullopt;
}

TEST(GetCpuModel, ReportsTheProcessorsModelName) {
    const auto expected = CpuInfoModelName();
    if (!expected) GTEST_SKIP() << "this processor reports no model name";
    testing::internal::CaptureStderr();
    const std::string model = GetCpuModel();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(model, *expected);
    EXPECT_FALSE(model.empty());
    EXPECT_EQ(model.find('\0'), std::string::npos);
    EXPECT_EQ(model.find('\n'), std::string::npos);
}

// Runs GetCpuModel in a child that sees `cpuinfo` as /proc/cpuinfo (bound
// over it in a private mount namespace). The result and what went to
// standard error come back through files; nothing when the namespace
// cannot be made.
std::optional<std::pair<std::string, std::string>> CpuModelWith(const std::string& cpuinfo) {
    TempDir dir;
    WriteFile(dir / "cpuinfo", cpuinfo);
    const std::string result = (dir / "result").string();
    const std::string errors = (dir / "stderr").string();
    const pid_t pid = ::fork();
    if (pid < 0) return std::nullopt;
    if (pid == 0) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount((dir / "cpuinfo").c_str(), "/proc/cpuinfo", nullptr, MS_BIND, nullptr) != 0)
            _exit(77);
        const int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (err < 0 || ::dup2(err, STDERR_FILENO) < 0) _exit(1);
        const std::string model = GetCpuModel();
        std::ofstream(result, std::ios::binary) << model;
        _exit(0);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return std::make_pair(ReadFile(result), ReadFile(errors));
}

TEST(GetCpuModel, FailureIsReportedAsSysctlAndGivesEmptyText) {
    const std::string tooLong(1024, 'x');
    const struct {
        const char* name;
        std::string cpuinfo;
        std::string model;
        std::string errors;
    } cases[] = {
        {"brand", "processor\t: 0\nmodel name\t: Test CPU @ 1.00GHz\n", "Test CPU @ 1.00GHz", ""},
        {"no model name", "processor\t: 0\nmodel\t\t: 1\n", "",
         "sysctl: No such file or directory\n"},
        {"brand of 1024 bytes", "model name\t: " + tooLong + "\n", "",
         "sysctl: Cannot allocate memory\n"},
        {"brand of 1023 bytes", "model name\t: " + tooLong.substr(1) + "\n", tooLong.substr(1), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto seen = CpuModelWith(c.cpuinfo);
        if (!seen) GTEST_SKIP() << "cannot bind a file over /proc/cpuinfo in a mount namespace";
        EXPECT_EQ(seen->first, c.model);
        EXPECT_EQ(seen->second, c.errors);
    }
}

TEST(BrandTextFromCpuInfo, Listings) {
    const std::string x1023(1023, 'x');
    const struct {
        const char* name;
        std::string cpuinfo;
        std::size_t capacity;
        std::optional<std::string> brand;
        int error;
    } cases[] = {
        {"first of several", "processor\t: 0\nmodel name\t: AMD EPYC\n\nmodel name\t: Other\n",
         1024, "AMD EPYC", 0},
        {"blanks around the value", "model name\t:   Intel(R) Xeon(R)  \t\n", 1024,
         "Intel(R) Xeon(R)", 0},
        {"colon inside the value", "model name : CPU @ 2.60GHz: rev 2\n", 1024,
         "CPU @ 2.60GHz: rev 2", 0},
        {"no final newline", "model name\t: Last", 1024, "Last", 0},
        {"similar keys only", "model\t\t: 49\nmodel names\t: no\nmodel name x: no\n", 1024,
         std::nullopt, ENOENT},
        {"empty listing", "", 1024, std::nullopt, ENOENT},
        {"fits with its NUL", "model name\t: " + x1023 + "\n", 1024, x1023, 0},
        {"does not fit", "model name\t: " + x1023 + "x\n", 1024, std::nullopt, ENOMEM},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        errno = 0;
        const auto brand = quorane::platform::BrandTextFromCpuInfo(c.cpuinfo, c.capacity);
        EXPECT_EQ(brand, c.brand);
        if (!c.brand) {
            EXPECT_EQ(errno, c.error);
        }
    }
}

TEST(ConstantAnswers, FreeMemoryIsZeroAndPortOwnerIsEmpty) {
    EXPECT_EQ(GetFreeMemory(), 0u);
    for (const int32_t port : {0, 80, 65535, 65536, -1, INT32_MAX, INT32_MIN}) {
        SCOPED_TRACE(port);
        EXPECT_EQ(GetUserNameFromPort(port), "");
    }
}

}  // namespace
