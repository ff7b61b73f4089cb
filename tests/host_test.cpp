// Host queries: TCP port availability against sockets the test holds, the
// processor brand text against /proc/cpuinfo, and the constant answers.
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <quorane/Utils.h>
#include "TestSupport.h"

namespace {

namespace fs = boost::filesystem;

// A TCP socket bound to a port the system picks, listening if asked.
struct HeldPort {
    explicit HeldPort(bool listen, in_addr_t address = INADDR_ANY) {
        sockaddr_in bound{};
        bound.sin_family = AF_INET;
        bound.sin_addr.s_addr = htonl(address);
        socklen_t length = sizeof bound;
        auto* raw = reinterpret_cast<sockaddr*>(&bound);
        if (fd >= 0 && ::bind(fd, raw, sizeof bound) == 0 && (!listen || ::listen(fd, 1) == 0) &&
            ::getsockname(fd, raw, &length) == 0)
            port = std::to_string(ntohs(bound.sin_port));
    }
    ~HeldPort() { Close(); }
    void Close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    std::string port;
};

int OpenDescriptorCount() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr) ++count;
        ::closedir(dir);
    }
    return count;
}

// Every text form against ports that other sockets hold and a port whose
// holder is gone. Numbers outside 0..65535 name no port: taking their low 16
// bits would turn 65536 into port 0, which always binds, and -1 into port
// 65535. No answer, taken or free, leaves a descriptor open.
TEST(CheckTcpPort, TextFormsAndPortsHeldByOtherSockets) {
    HeldPort listener(true), bound(false), loopbackOnly(true, INADDR_LOOPBACK);
    const std::string port = HeldPort(false).port;  // free again once the holder is gone
    ASSERT_FALSE(listener.port.empty() || bound.port.empty() || loopbackOnly.port.empty() ||
                 port.empty());
    const std::string wrapped = std::to_string(65536 + std::stoi(port));
    const std::pair<std::string, bool> cases[] = {
        {port, true},     {"+" + port, true},    {"00" + port, true},    {"0", true},
        {"-0", true},     {" " + port, false},   {port + " ", false},    {port + "\n", false},
        {"80a", false},   {"0x50", false},       {"1e3", false},         {"", false},
        {"+", false},     {"2147483648", false}, {"-2147483649", false}, {"x", false},
        {"65536", false}, {"-65536", false},     {"-1", false},          {"2147483647", false},
        {wrapped, false},
    };
    const int before = OpenDescriptorCount();
    const auto expectAnswer = [&](const std::string& text, bool free) {
        SCOPED_TRACE("\"" + text + "\"");
        EXPECT_EQ(CheckTcpPort(text), free);
        EXPECT_EQ(OpenDescriptorCount(), before);
    };
    for (const std::string& text :
         {listener.port, "+" + listener.port, "0" + listener.port, bound.port, loopbackOnly.port})
        expectAnswer(text, false);
    for (const auto& [text, free] : cases) expectAnswer(text, free);
    listener.Close();
    EXPECT_TRUE(CheckTcpPort(listener.port));
}

// GetCpuModel in a child that sees the file `source` bound over
// /proc/cpuinfo in a private mount namespace, as the unprivileged user when
// `unprivileged`: "model|stderr", or "" when that cannot be made.
std::string CpuModelFrom(const fs::path& source, bool unprivileged = false) {
    quorane::test::TempDir dir;
    const std::string errors = (dir / "stderr").string();
    const std::optional<std::string> model = quorane::test::RunInChild([&] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(source.c_str(), "/proc/cpuinfo", nullptr, MS_BIND, nullptr) != 0)
            throw std::runtime_error("no private /proc/cpuinfo");
        const int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (err < 0 || ::dup2(err, STDERR_FILENO) < 0)
            throw std::runtime_error("no standard error");
        if (unprivileged && !quorane::test::DropPrivileges())
            throw std::runtime_error("cannot drop privileges");
        return GetCpuModel();
    });
    if (!model) return "";
    return *model + "|" + quorane::test::ReadFile(errors);
}

// The same with a file holding `cpuinfo`.
std::string CpuModelWith(const std::string& cpuinfo) {
    quorane::test::TempDir dir;
    quorane::test::WriteFile(dir / "cpuinfo", cpuinfo);
    return CpuModelFrom(dir / "cpuinfo");
}

TEST(GetCpuModel, ModelNameOfTheFirstProcessorOrSysctlError) {
    const std::string x1023(1023, 'x');
    const std::pair<std::string, std::string> cases[] = {
        {"processor\t: 0\nmodel\t\t: 49\nmodel names\t: no\nmodel name\t:  AMD EPYC 7R13 \t\n"
         "\nprocessor\t: 1\nmodel name\t: Other\n",
         "AMD EPYC 7R13|"},
        {"model name : CPU @ 2.60GHz: rev 2", "CPU @ 2.60GHz: rev 2|"},
        {"model name\t: " + x1023 + "\n", x1023 + "|"},  // fits with its NUL
        {"processor\t: 0\nmodel\t\t: 1\n", "|sysctl: No such file or directory\n"},
        {"model name\t: x" + x1023 + "\n", "|sysctl: Cannot allocate memory\n"},
    };
    for (const auto& [cpuinfo, expected] : cases) {
        SCOPED_TRACE(cpuinfo.substr(0, 40));
        const std::string seen = CpuModelWith(cpuinfo);
        if (seen.empty()) GTEST_SKIP() << "cannot bind a file over /proc/cpuinfo here";
        EXPECT_EQ(seen, expected);
    }
}

TEST(GetCpuModel, ListingThatCannotBeOpenedOrReadIsASysctlError) {
    // Not opened: the listing is root's alone and the reader is not root.
    quorane::test::TempDir dir;
    quorane::test::WriteFile(dir / "cpuinfo", "model name\t: Hidden\n");
    fs::permissions(dir / "cpuinfo", fs::perms(0600));
    fs::permissions(dir.path(), fs::perms(0755));
    if (quorane::test::CanDropPrivileges()) {
        const std::string seen = CpuModelFrom(dir / "cpuinfo", true);
        if (seen.empty()) GTEST_SKIP() << "cannot bind a file over /proc/cpuinfo here";
        EXPECT_EQ(seen, "|sysctl: Permission denied\n");
    }
    // Opened but not read: the process's own memory file, bound over the
    // listing, fails to read at offset 0, where nothing is mapped.
    const std::string seen = CpuModelFrom("/proc/self/mem");
    if (seen.empty()) GTEST_SKIP() << "cannot bind a file over /proc/cpuinfo here";
    EXPECT_EQ(seen, "|sysctl: Input/output error\n");
}

TEST(GetCpuModel, ThisHostsProcessor) {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line) && line.rfind("model name", 0) != 0) {
    }
    if (line.empty()) GTEST_SKIP() << "this processor reports no model name";
    EXPECT_EQ(GetCpuModel(), line.substr(line.find(": ") + 2));
}

TEST(ConstantAnswers, FreeMemoryIsZeroAndPortOwnerIsEmpty) {
    EXPECT_EQ(GetFreeMemory(), 0u);
    for (const int32_t port : {0, 80, 65536, -1, INT32_MIN})
        EXPECT_EQ(GetUserNameFromPort(port), "");
}

}  // namespace
