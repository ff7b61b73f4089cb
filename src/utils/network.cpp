// Network identity: the host's IPv4 addresses and the hardware addresses
// behind them.
#include "utils/NetworkIdentity.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <optional>

#include <boost/format.hpp>

#include <quorane/Utils.h>
#include "base/Text.h"

namespace quorane {
namespace {

using platform::InterfaceAddressRecord;

std::wstring AddressText(const InterfaceAddressRecord& record) {
    in_addr address;
    std::memcpy(&address, record.ipv4.data(), sizeof address);
    // inet_ntop gives the same dotted-decimal text as inet_ntoa, in a buffer of
    // our own rather than one shared by the whole process.
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) return {};
    return WideForm(text);
}

// Every qualifying record in listing order; the walk ends early when the
// visitor returns false.
template <typename Visitor>
void WalkIdentityRecords(Visitor visit) {
    const std::optional<std::vector<InterfaceAddressRecord>> records =
        platform::ListInterfaceAddresses();
    if (!records) return;
    for (const InterfaceAddressRecord& record : *records) {
        if (IsIdentityAddress(record) && !visit(record)) return;
    }
}

// The hardware address text of the last qualifying record (restricted to the
// address text `ip` when given) whose link-level address can be read.
std::wstring LastHardwareAddress(const std::optional<std::wstring>& ip) {
    std::wstring result;
    WalkIdentityRecords([&](const InterfaceAddressRecord& record) {
        if (ip && AddressText(record) != *ip) return true;
        if (const auto address = platform::LinkLevelAddress(record.name)) {
            result = HardwareAddressText(*address);
        }
        return true;
    });
    return result;
}

}  // namespace

bool IsIdentityAddress(const InterfaceAddressRecord& record) {
    if (record.family != AF_INET) return false;
    const auto& octets = record.ipv4;
    const bool unspecified = octets[0] == 0 && octets[1] == 0 && octets[2] == 0 && octets[3] == 0;
    return !unspecified && octets[0] != 127;
}

std::wstring HardwareAddressText(const platform::HardwareAddress& address) {
    boost::wformat text(L"%02X:%02X:%02X:%02X:%02X:%02X");
    // Passed as numbers: a byte passed as a character would print as one.
    for (const std::uint8_t byte : address) text % static_cast<unsigned>(byte);
    return text.str();
}

}  // namespace quorane

std::wstring GetLocalIP() {
    std::wstring result;
    quorane::WalkIdentityRecords([&](const quorane::platform::InterfaceAddressRecord& record) {
        result = quorane::AddressText(record);
        return false;
    });
    return result;
}

std::set<std::wstring> GetLocalIpList() {
    std::set<std::wstring> result;
    quorane::WalkIdentityRecords([&](const quorane::platform::InterfaceAddressRecord& record) {
        result.insert(quorane::AddressText(record));
        return true;
    });
    return result;
}

std::wstring GetLocalMAC() { return quorane::LastHardwareAddress(std::nullopt); }

std::wstring GetLocalMAC(std::wstring ip) {
    // An empty text is never an address, so it can match no record.
    if (ip.empty()) return {};
    return quorane::LastHardwareAddress(std::move(ip));
}
