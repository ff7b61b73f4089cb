// Network identity, observed in private network namespaces built from tap and
// tun links with chosen names, hardware and IPv4 addresses. The links are
// never brought up, so no traffic can be sent.
#include <net/if.h>
#include <netpacket/packet.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <quorane/Utils.h>
#include "TestSupport.h"
#include "base/Text.h"
#include "utils/NetworkIdentity.h"

namespace {

using quorane::NarrowForm;
using quorane::test::Concat;
using Answers = std::map<std::string, std::string>;

// In a forked child with a fresh network namespace: runs the setup commands,
// then answers "ip", "list" (comma-separated), "mac" and "mac <probe>" for
// each probe. An "error" answer tells why that failed.
Answers Observe(const std::vector<std::string>& setup, const std::vector<std::string>& probes) {
    const std::optional<std::string> text = quorane::test::RunInChild([&] {
        if (::unshare(CLONE_NEWNET) != 0)
            return std::string("error\nunshare(CLONE_NEWNET): ") + std::strerror(errno) + "\n";
        for (const auto& command : setup) {
            // The test's own fixed commands, through the shell for the redirection.
            // NOLINTNEXTLINE(cert-env33-c)
            if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
                return "error\n" + command + "\n";
        }
        std::string answers = "ip\n" + NarrowForm(GetLocalIP()) + "\nlist\n";
        for (const auto& address : GetLocalIpList()) answers += NarrowForm(address) + ",";
        answers += "\nmac\n" + NarrowForm(GetLocalMAC()) + "\n";
        for (const auto& probe : probes)
            answers +=
                "mac " + probe + "\n" + NarrowForm(GetLocalMAC(quorane::WideForm(probe))) + "\n";
        return answers;
    });
    if (!text) return {{"error", "no child"}};
    Answers answers;
    std::istringstream lines(*text);
    for (std::string key, value; std::getline(lines, key) && std::getline(lines, value);)
        answers[key] = value;
    return answers;
}

// Skips when private namespaces with tap and tun links cannot be made here.
#define SKIP_WITHOUT_NAMESPACES()                                                              \
    do {                                                                                       \
        static const Answers probe =                                                           \
            Observe({"ip tuntap add dev qp0 mode tap", "ip tuntap add dev qp1 mode tun"}, {}); \
        if (probe.count("error"))                                                              \
            GTEST_SKIP() << "no private network namespace with tap/tun links: "                \
                         << probe.at("error");                                                 \
    } while (0)

std::vector<std::string> Tap(const std::string& name, const std::string& hardware) {
    return {"ip tuntap add dev " + name + " mode tap",
            "ip link set dev " + name + " address " + hardware};
}

TEST(NetworkIdentity, LoopbackOnlyHostHasNoIdentity) {
    SKIP_WITHOUT_NAMESPACES();
    // lo up holds 127.0.0.1; qen0 holds another loopback-block address.
    const Answers seen = Observe(Concat({{"ip link set lo up"},
                                         Tap("qen0", "02:00:00:00:00:01"),
                                         {"ip addr add 127.1.2.3/8 dev qen0"}}),
                                 {"127.1.2.3"});
    const Answers expected = {{"ip", ""}, {"list", ""}, {"mac", ""}, {"mac 127.1.2.3", ""}};
    EXPECT_EQ(seen, expected);
}

TEST(NetworkIdentity, ListingOrderFirstAndLastWinsDuplicatesAndExactMatch) {
    SKIP_WITHOUT_NAMESPACES();
    // Listing order: lo 127.0.0.1; qen0 127.1.2.3; qen1 9.9.9.9, 10.0.0.5;
    // qen2 192.168.1.7, 10.0.0.5 again; qen2:1 (a label) 10.0.1.5; qtun0 (no
    // link-level address) 10.9.9.9.
    const Answers seen =
        Observe(Concat({{"ip link set lo up"},
                        Tap("qen0", "02:00:00:00:00:01"),
                        Tap("qen1", "00:1c:42:0a:ff:03"),
                        Tap("qen2", "02:00:5e:00:53:0a"),
                        {"ip tuntap add dev qtun0 mode tun", "ip addr add 127.1.2.3/8 dev qen0",
                         "ip addr add 9.9.9.9/32 dev qen1", "ip addr add 10.0.0.5/24 dev qen1",
                         "ip addr add 192.168.1.7/24 dev qen2", "ip addr add 10.0.0.5/32 dev qen2",
                         "ip addr add 10.0.1.5/24 dev qen2 label qen2:1",
                         "ip addr add 10.9.9.9/32 dev qtun0"}}),
                {"9.9.9.9", "10.0.0.5", "10.0.1.5", "10.9.9.9", "127.1.2.3", "", " 9.9.9.9",
                 "9.9.9.9 ", "009.009.009.009", "10.0.0.50"});
    const Answers expected = {
        {"ip", "9.9.9.9"},  // first in listing order, though it sorts last
        {"list", "10.0.0.5,10.0.1.5,10.9.9.9,192.168.1.7,9.9.9.9,"},
        // The tun link's lookup fails; the last successful one stays.
        {"mac", "02:00:5E:00:53:0A"},
        {"mac 9.9.9.9", "00:1C:42:0A:FF:03"},
        {"mac 10.0.0.5", "02:00:5E:00:53:0A"},  // both holders match, the later wins
        {"mac 10.0.1.5", "02:00:5E:00:53:0A"},  // the label resolves to qen2
        {"mac 10.9.9.9", ""},
        {"mac 127.1.2.3", ""},
        {"mac ", ""},
        {"mac  9.9.9.9", ""},
        {"mac 9.9.9.9 ", ""},
        {"mac 009.009.009.009", ""},
        {"mac 10.0.0.50", ""},
    };
    EXPECT_EQ(seen, expected);
}

TEST(NetworkIdentity, RecordsBeyondTheListingAreaAreNotSeen) {
    SKIP_WITHOUT_NAMESPACES();
    // Linux records are sizeof(ifreq) bytes and lo's 127.0.0.1 comes first:
    // of qen0's addresses only those in the remaining records are visible.
    const std::size_t visible = quorane::platform::kInterfaceListingBytes / sizeof(ifreq) - 1;
    auto address = [](std::size_t n) {
        return "10.1." + std::to_string(n / 200) + "." + std::to_string(n % 200 + 1);
    };
    std::vector<std::string> setup =
        Concat({{"ip link set lo up"}, Tap("qen0", "02:00:00:00:00:0a")});
    std::set<std::string> visibleAddresses;
    for (std::size_t n = 0; n < visible + 5; ++n) {
        setup.push_back("ip addr add " + address(n) + "/32 dev qen0");
        if (n < visible) visibleAddresses.insert(address(n));
    }
    std::string list;
    for (const auto& item : visibleAddresses) list += item + ",";  // sorted, as the set is

    const Answers seen = Observe(setup, {address(visible - 1), address(visible)});
    EXPECT_EQ(seen.at("ip"), address(0));
    EXPECT_EQ(seen.at("list"), list);
    EXPECT_EQ(seen.at("mac " + address(visible - 1)), "02:00:00:00:00:0A");
    EXPECT_EQ(seen.at("mac " + address(visible)), "");
}

// 0.0.0.0 never reaches a Linux listing, so the rule is shown at its edges here.
TEST(IsIdentityAddress, QualifyingRule) {
    const struct {
        int family;
        std::array<std::uint8_t, 4> octets;
        bool qualifies;
    } cases[] = {
        {AF_INET, {0, 0, 0, 0}, false},        {AF_INET, {0, 0, 0, 1}, true},
        {AF_INET, {127, 0, 0, 1}, false},      {AF_INET, {127, 255, 255, 255}, false},
        {AF_INET, {126, 255, 255, 255}, true}, {AF_INET, {128, 0, 0, 0}, true},
        {AF_INET6, {10, 0, 0, 5}, false},      {AF_PACKET, {10, 0, 0, 5}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.family) + ":" + std::to_string(c.octets[0]) + "." +
                     std::to_string(c.octets[3]));
        EXPECT_EQ(quorane::IsIdentityAddress({"qen0", c.family, c.octets}), c.qualifies);
    }
}

TEST(HardwareAddressOf, OnlyAddressesOfAtLeastSixBytes) {
    for (std::size_t length : {0, 4, 5, 6, 8, 20}) {
        SCOPED_TRACE(length);
        // Exactly `length` bytes: a read past the address leaves the allocation.
        std::vector<std::uint8_t> bytes(length, 0x0A);
        const auto address = quorane::platform::HardwareAddressOf(bytes.data(), length);
        EXPECT_EQ(address.has_value(), length >= 6);
        if (address) {
            EXPECT_EQ(quorane::HardwareAddressText(*address), L"0A:0A:0A:0A:0A:0A");
        }
    }
}

}  // namespace
