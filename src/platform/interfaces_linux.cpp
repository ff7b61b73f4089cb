// Interface address records through SIOCGIFCONF, link-level addresses through
// getifaddrs.
#ifndef __linux__
#error "Linux implementation of a platform seam: CMake builds another system's own there."
#endif

#include "platform/NetworkInterfaces.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "base/FileDescriptor.h"

namespace quorane::platform {
namespace {

struct InterfaceListFree {
    void operator()(ifaddrs* list) const { ::freeifaddrs(list); }
};

}  // namespace

std::optional<std::vector<InterfaceAddressRecord>> ListInterfaceAddresses() {
    FileDescriptor socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (socket.get() < 0) return std::nullopt;

    // Linux fills fixed-size records (struct ifreq) and only whole ones, so
    // the walk steps by sizeof(ifreq) over the filled length.
    alignas(ifreq) char buffer[kInterfaceListingBytes];
    ifconf listing{};
    listing.ifc_len = sizeof buffer;
    listing.ifc_buf = buffer;
    if (::ioctl(socket.get(), SIOCGIFCONF, &listing) < 0) return std::nullopt;

    std::vector<InterfaceAddressRecord> records;
    const std::size_t filled = static_cast<std::size_t>(listing.ifc_len);
    for (std::size_t offset = 0; offset + sizeof(ifreq) <= filled; offset += sizeof(ifreq)) {
        ifreq request;
        std::memcpy(&request, buffer + offset, sizeof request);

        InterfaceAddressRecord record;
        record.name.assign(request.ifr_name, ::strnlen(request.ifr_name, IFNAMSIZ));
        record.family = request.ifr_addr.sa_family;
        if (record.family == AF_INET) {
            sockaddr_in address;
            std::memcpy(&address, &request.ifr_addr, sizeof address);
            std::memcpy(record.ipv4.data(), &address.sin_addr, record.ipv4.size());
        }
        records.push_back(std::move(record));
    }
    return records;
}

std::optional<HardwareAddress> HardwareAddressOf(const std::uint8_t* linkAddress,
                                                 std::size_t length) {
    HardwareAddress address;
    if (linkAddress == nullptr || length < address.size()) return std::nullopt;
    std::memcpy(address.data(), linkAddress, address.size());
    return address;
}

std::optional<HardwareAddress> LinkLevelAddress(const std::string& interfaceName) {
    // The index resolves an address label such as "eth0:1" to its interface.
    const unsigned index = ::if_nametoindex(interfaceName.c_str());
    if (index == 0) return std::nullopt;

    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0) return std::nullopt;
    const std::unique_ptr<ifaddrs, InterfaceListFree> list(raw);

    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_PACKET) continue;
        const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
        if (link->sll_ifindex != static_cast<int>(index)) continue;
        // sll_halen is the true address length: tunnels have shorter ones,
        // and a link with none (a tun device) has no such entry at all.
        return HardwareAddressOf(link->sll_addr, link->sll_halen);
    }
    return std::nullopt;
}

}  // namespace quorane::platform
