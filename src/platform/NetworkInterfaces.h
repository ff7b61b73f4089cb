// Seam: the host's interface address records and the link-level address of an
// interface.
#ifndef QUORANE_PLATFORM_NETWORK_INTERFACES_H
#define QUORANE_PLATFORM_NETWORK_INTERFACES_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorane::platform {

// Size of the area the interface listing is made into: enough for 100 records
// of the smallest size BSD systems use. Records beyond it are never seen.
constexpr std::size_t kInterfaceListingBytes = 3200;

// One interface address record of the listing.
struct InterfaceAddressRecord {
    std::string name;  // interface name (or address label), at most 15 bytes
    int family = 0;    // address family of the record (AF_INET, ...)
    // For AF_INET records: the IPv4 address, network order (first octet first).
    std::array<std::uint8_t, 4> ipv4{};
};

// The interface address records the platform lists, in its order, as many as
// fit into kInterfaceListingBytes. Each call opens and closes its own datagram
// socket. Nothing when the socket cannot be opened or the listing fails.
std::optional<std::vector<InterfaceAddressRecord>> ListInterfaceAddresses();

// A hardware address, as the first six bytes of a link-level address.
using HardwareAddress = std::array<std::uint8_t, 6>;

// The first six bytes of a link-level address `length` bytes long; nothing when
// it is shorter (tunnels, for example), so that nothing past it is read.
std::optional<HardwareAddress> HardwareAddressOf(const std::uint8_t* linkAddress,
                                                 std::size_t length);

// The first six bytes of the link-level address of the interface the record
// name belongs to. Nothing when no interface has that name, its link-level
// address cannot be read, or the address is shorter than six bytes.
std::optional<HardwareAddress> LinkLevelAddress(const std::string& interfaceName);

}  // namespace quorane::platform

#endif  // QUORANE_PLATFORM_NETWORK_INTERFACES_H
