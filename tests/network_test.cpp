// Network identity, observed in private network namespaces built from tap and
// tun links whose names, hardware addresses and IPv4 addresses the tests
// choose. The links are never brought up, so no traffic can be sent.
#include <net/if.h>
#include <netpacket/packet.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "NetworkIdentity.h"
#include "Text.h"
#include "Utils.h"

namespace {

using quorane::NarrowForm;

// What the four functions answered inside one namespace.
struct Observation {
    std::string ip;
    std::vector<std::string> list;
    std::string mac;
    std::map<std::string, std::string> macOf;  // GetLocalMAC(probe) by probe
};

std::string Join(const std::vector<std::string>& items) {
    std::string joined;
    for (const auto& item : items) joined += (joined.empty() ? "" : ",") + item;
    return joined;
}

// Runs `body` in a forked child that has its own network namespace and
// returns what it wrote, or an error text starting with "!".
std::string InPrivateNetwork(const std::function<std::string()>& body) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return "!pipe failed";
    const pid_t pid = ::fork();
    if (pid < 0) return "!fork failed";
    if (pid == 0) {
        ::close(pipeFds[0]);
        std::string out;
        if (::unshare(CLONE_NEWNET) != 0) {
            out = std::string("!unshare(CLONE_NEWNET): ") + std::strerror(errno);
        } else {
            out = body();
        }
        const char* data = out.data();
        for (std::size_t left = out.size(); left > 0;) {
            const ssize_t n = ::write(pipeFds[1], data, left);
            if (n <= 0) break;
            data += n;
            left -= static_cast<std::size_t>(n);
        }
        _exit(0);
    }
    ::close(pipeFds[1]);
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) out.append(buffer, n);
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status)) return "!child did not exit normally";
    return out;
}

// Runs the shell commands in order; the first that fails is named.
std::optional<std::string> RunCommands(const std::vector<std::string>& commands) {
    for (const std::string& command : commands) {
        if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) return command;
    }
    return std::nullopt;
}

// Why the namespaces these tests need cannot be made here, or nothing.
std::optional<std::string> NamespaceUnavailable() {
    static const std::optional<std::string> reason = []() -> std::optional<std::string> {
        const std::string out = InPrivateNetwork([] {
            if (auto failed = RunCommands(
                    {"ip tuntap add dev qprobe0 mode tap", "ip tuntap add dev qprobe1 mode tun"}))
                return "!cannot make tap/tun links: " + *failed;
            return std::string("ok");
        });
        if (out == "ok") return std::nullopt;
        return out.empty() ? "no answer from the namespace child" : out.substr(1);
    }();
    return reason;
}

// Builds the links with `setup` in a fresh namespace and reports what the
// four functions answer there.
std::optional<Observation> Observe(const std::vector<std::string>& setup,
                                   const std::vector<std::string>& probes) {
    const std::string out = InPrivateNetwork([&] {
        if (auto failed = RunCommands(setup)) return "!setup command failed: " + *failed;
        std::ostringstream report;
        report << "ip " << NarrowForm(GetLocalIP()) << '\n';
        std::vector<std::string> list;
        for (const auto& address : GetLocalIpList()) list.push_back(NarrowForm(address));
        report << "list " << Join(list) << '\n';
        report << "mac " << NarrowForm(GetLocalMAC()) << '\n';
        for (const auto& probe : probes) {
            report << "probe " << NarrowForm(GetLocalMAC(quorane::WideForm(probe))) << '\n';
        }
        return report.str();
    });
    if (!out.empty() && out[0] == '!') {
        ADD_FAILURE() << out.substr(1);
        return std::nullopt;
    }
    Observation seen;
    std::istringstream lines(out);
    std::string line;
    std::size_t probe = 0;
    while (std::getline(lines, line)) {
        const auto blank = line.find(' ');
        const std::string key = line.substr(0, blank);
        const std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (key == "ip") seen.ip = value;
        if (key == "mac") seen.mac = value;
        if (key == "list" && !value.empty()) {
            std::istringstream items(value);
            for (std::string item; std::getline(items, item, ',');) seen.list.push_back(item);
        }
        if (key == "probe" && probe < probes.size()) seen.macOf[probes[probe++]] = value;
    }
    if (probe != probes.size()) ADD_FAILURE() << "incomplete report: " << out;
    return seen;
}

#define SKIP_WITHOUT_NAMESPACES()                                                        \
    do {                                                                                 \
        if (const auto reason = NamespaceUnavailable())                                  \
            GTEST_SKIP() << "private network namespace with tap/tun links unavailable: " \
                         << *reason;                                                     \
    } while (0)

// A tap link with the given name and hardware address (never brought up).
std::vector<std::string> Tap(const std::string& name, const std::string& hardware) {
    return {"ip tuntap add dev " + name + " mode tap",
            "ip link set dev " + name + " address " + hardware};
}

std::string AddAddress(const std::string& address, const std::string& link) {
    return "ip addr add " + address + " dev " + link;
}

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(NetworkIdentity, LoopbackOnlyHostHasNoIdentity) {
    SKIP_WITHOUT_NAMESPACES();
    // Bringing lo up gives it 127.0.0.1; a tap holding only 127.1.2.3 adds a
    // second loopback-block address on an ordinary interface.
    const auto seen = Observe(Concat({{"ip link set lo up"},
                                      Tap("qen0", "00:1c:42:0a:ff:03"),
                                      {AddAddress("127.1.2.3/8", "qen0")}}),
                              {"127.0.0.1", "127.1.2.3"});
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->ip, "");
    EXPECT_TRUE(seen->list.empty()) << Join(seen->list);
    EXPECT_EQ(seen->mac, "");
    EXPECT_EQ(seen->macOf.at("127.0.0.1"), "");
    EXPECT_EQ(seen->macOf.at("127.1.2.3"), "");
}

TEST(NetworkIdentity, FirstAddressWinsAndLastHardwareAddressWins) {
    SKIP_WITHOUT_NAMESPACES();
    const auto seen =
        Observe(Concat({{"ip link set lo up"},
                        Tap("qen0", "00:1c:42:0a:ff:03"),
                        Tap("qen1", "02:00:5e:00:53:0a"),
                        {AddAddress("10.0.0.5/24", "qen0"), AddAddress("192.168.1.7/24", "qen1")}}),
                {"10.0.0.5", "192.168.1.7", "", " 10.0.0.5", "10.0.0.5 ", "010.000.000.005",
                 "10.0.0.05", "10.0.0.50", "192.168.1.8"});
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->ip, "10.0.0.5");
    EXPECT_EQ(seen->list, (std::vector<std::string>{"10.0.0.5", "192.168.1.7"}));
    // Every qualifying interface is looked up and the later one replaces the
    // earlier; the byte 0x0A is written as "0A".
    EXPECT_EQ(seen->mac, "02:00:5E:00:53:0A");

    const std::map<std::string, std::string> expected = {
        {"10.0.0.5", "00:1C:42:0A:FF:03"},
        {"192.168.1.7", "02:00:5E:00:53:0A"},
        {"", ""},
        {" 10.0.0.5", ""},
        {"10.0.0.5 ", ""},
        {"010.000.000.005", ""},
        {"10.0.0.05", ""},
        {"10.0.0.50", ""},
        {"192.168.1.8", ""},
    };
    for (const auto& [probe, mac] : expected) {
        SCOPED_TRACE("GetLocalMAC(\"" + probe + "\")");
        EXPECT_EQ(seen->macOf.at(probe), mac);
    }
}

TEST(NetworkIdentity, ListingOrderExclusionsAndDuplicates) {
    SKIP_WITHOUT_NAMESPACES();
    // qen0 carries only a loopback-block address and must be passed over;
    // qen1 lists 9.9.9.9 before 10.0.0.5, so the first address is 9.9.9.9
    // although it sorts last; qen2 repeats 10.0.0.5.
    const auto seen =
        Observe(Concat({{"ip link set lo up"},
                        Tap("qen0", "02:00:00:00:00:01"),
                        Tap("qen1", "02:00:00:00:00:02"),
                        Tap("qen2", "02:00:00:00:00:03"),
                        {AddAddress("127.1.2.3/8", "qen0"), AddAddress("9.9.9.9/32", "qen1"),
                         AddAddress("10.0.0.5/24", "qen1"), AddAddress("192.168.1.7/24", "qen2"),
                         AddAddress("10.0.0.5/32", "qen2")}}),
                {"9.9.9.9", "10.0.0.5", "192.168.1.7", "127.1.2.3"});
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->ip, "9.9.9.9");
    // Once each, ordered by code unit: "10..." before "192..." before "9...".
    EXPECT_EQ(seen->list, (std::vector<std::string>{"10.0.0.5", "192.168.1.7", "9.9.9.9"}));
    EXPECT_EQ(seen->mac, "02:00:00:00:00:03");
    EXPECT_EQ(seen->macOf.at("9.9.9.9"), "02:00:00:00:00:02");
    // Both holders of 10.0.0.5 match; the later one wins.
    EXPECT_EQ(seen->macOf.at("10.0.0.5"), "02:00:00:00:00:03");
    EXPECT_EQ(seen->macOf.at("192.168.1.7"), "02:00:00:00:00:03");
    EXPECT_EQ(seen->macOf.at("127.1.2.3"), "");
}

TEST(NetworkIdentity, LinkWithoutSixByteAddressContributesNoHardwareAddress) {
    SKIP_WITHOUT_NAMESPACES();
    // A tun link has no link-level address at all. As the last qualifying
    // interface its lookup fails, and the earlier interface's answer stays.
    const auto seen =
        Observe(Concat({Tap("qen0", "00:1c:42:0a:ff:03"),
                        {"ip tuntap add dev qtun0 mode tun", AddAddress("10.0.0.5/24", "qen0"),
                         AddAddress("10.9.9.9/32", "qtun0")}}),
                {"10.9.9.9", "10.0.0.5"});
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->list, (std::vector<std::string>{"10.0.0.5", "10.9.9.9"}));
    EXPECT_EQ(seen->mac, "00:1C:42:0A:FF:03");
    EXPECT_EQ(seen->macOf.at("10.9.9.9"), "");
    EXPECT_EQ(seen->macOf.at("10.0.0.5"), "00:1C:42:0A:FF:03");
}

TEST(NetworkIdentity, AddressLabelResolvesToItsInterface) {
    SKIP_WITHOUT_NAMESPACES();
    // The listing names a labelled address "qen0:1", which is no interface
    // name of its own; its hardware address is still that of qen0.
    const auto seen = Observe(Concat({Tap("qen0", "00:1c:42:0a:ff:03"),
                                      {AddAddress("10.0.0.5/24", "qen0"),
                                       "ip addr add 10.0.1.5/24 dev qen0 label qen0:1"}}),
                              {"10.0.1.5"});
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->list, (std::vector<std::string>{"10.0.0.5", "10.0.1.5"}));
    EXPECT_EQ(seen->macOf.at("10.0.1.5"), "00:1C:42:0A:FF:03");
}

TEST(NetworkIdentity, RecordsBeyondTheListingAreaAreNotSeen) {
    SKIP_WITHOUT_NAMESPACES();
    // Linux lists fixed records of sizeof(ifreq) bytes, lo's 127.0.0.1 first:
    // of qen0's addresses only those in the remaining records are visible.
    const std::size_t visible = quorane::platform::kInterfaceListingBytes / sizeof(ifreq) - 1;
    const std::size_t total = visible + 6;
    auto address = [](std::size_t n) {
        return "10.1." + std::to_string(n / 200) + "." + std::to_string(n % 200 + 1);
    };
    std::vector<std::string> setup =
        Concat({{"ip link set lo up"}, Tap("qen0", "02:00:00:00:00:0a")});
    for (std::size_t n = 0; n < total; ++n) setup.push_back(AddAddress(address(n) + "/32", "qen0"));

    const auto seen = Observe(setup, {address(visible - 1), address(visible)});
    ASSERT_TRUE(seen);
    ASSERT_EQ(seen->list.size(), visible);
    for (std::size_t n = 0; n < total; ++n) {
        SCOPED_TRACE(address(n));
        const bool listed =
            std::find(seen->list.begin(), seen->list.end(), address(n)) != seen->list.end();
        EXPECT_EQ(listed, n < visible);
    }
    EXPECT_EQ(seen->ip, address(0));
    EXPECT_EQ(seen->macOf.at(address(visible - 1)), "02:00:00:00:00:0A");
    EXPECT_EQ(seen->macOf.at(address(visible)), "");
}

// The qualifying rule at its edges, including 0.0.0.0, which Linux never
// lists and the namespace tests therefore cannot show.
TEST(IsIdentityAddress, QualifyingRule) {
    struct Case {
        int family;
        std::array<std::uint8_t, 4> octets;
        bool qualifies;
    };
    const Case cases[] = {
        {AF_INET, {0, 0, 0, 0}, false},        {AF_INET, {0, 0, 0, 1}, true},
        {AF_INET, {127, 0, 0, 1}, false},      {AF_INET, {127, 255, 255, 255}, false},
        {AF_INET, {126, 255, 255, 255}, true}, {AF_INET, {128, 0, 0, 0}, true},
        {AF_INET, {169, 254, 1, 1}, true},     {AF_INET, {255, 255, 255, 255}, true},
        {AF_INET6, {10, 0, 0, 5}, false},      {AF_PACKET, {10, 0, 0, 5}, false},
    };
    for (const Case& c : cases) {
        quorane::platform::InterfaceAddressRecord record;
        record.name = "qen0";
        record.family = c.family;
        record.ipv4 = c.octets;
        SCOPED_TRACE(std::to_string(c.family) + " " + std::to_string(c.octets[0]) + "." +
                     std::to_string(c.octets[1]) + "." + std::to_string(c.octets[2]) + "." +
                     std::to_string(c.octets[3]));
        EXPECT_EQ(quorane::IsIdentityAddress(record), c.qualifies);
    }
}

TEST(HardwareAddressText, TwoUppercaseDigitsPerByte) {
    const std::pair<quorane::platform::HardwareAddress, std::wstring> cases[] = {
        {{0x00, 0x1C, 0x42, 0x0A, 0xFF, 0x03}, L"00:1C:42:0A:FF:03"},
        {{0, 0, 0, 0, 0, 0}, L"00:00:00:00:00:00"},
        {{0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}, L"0A:0B:0C:0D:0E:0F"},
        {{0x30, 0x41, 0x7F, 0x80, 0xA0, 0xFE}, L"30:41:7F:80:A0:FE"},
    };
    for (const auto& [bytes, text] : cases) {
        SCOPED_TRACE(NarrowForm(text));
        EXPECT_EQ(quorane::HardwareAddressText(bytes), text);
    }
}

TEST(HardwareAddressOf, OnlyAddressesOfAtLeastSixBytes) {
    for (std::size_t length : {0, 1, 4, 5, 6, 8, 20}) {
        SCOPED_TRACE("length " + std::to_string(length));
        // Exactly `length` bytes, so a read past the address is a read past
        // the allocation.
        std::vector<std::uint8_t> bytes(length);
        for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(0xA0 + i);
        const auto address = quorane::platform::HardwareAddressOf(bytes.data(), length);
        if (length < 6) {
            EXPECT_FALSE(address);
        } else {
            ASSERT_TRUE(address);
            EXPECT_EQ(*address,
                      (quorane::platform::HardwareAddress{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}));
        }
    }
}

}  // namespace
