// Internal pieces of the network identity functions, shared with their tests.
#ifndef QUORANE_UTILS_NETWORK_IDENTITY_H
#define QUORANE_UTILS_NETWORK_IDENTITY_H

#include <string>

#include "platform/NetworkInterfaces.h"

namespace quorane {

// True for an IPv4 record whose address is neither 0.0.0.0 nor in
// 127.0.0.0/8; only such records name the host.
bool IsIdentityAddress(const platform::InterfaceAddressRecord& record);

// "00:1C:42:0A:FF:03": two uppercase hex digits per byte, joined by ":".
std::wstring HardwareAddressText(const platform::HardwareAddress& address);

}  // namespace quorane

#endif  // QUORANE_UTILS_NETWORK_IDENTITY_H
