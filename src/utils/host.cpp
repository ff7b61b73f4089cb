// Host queries: TCP port availability, processor brand text and two constant
// answers.
#include <quorane/Utils.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>

#include <boost/lexical_cast.hpp>

#include "base/FileDescriptor.h"
#include "platform/Processor.h"
#include "platform/Sockets.h"

namespace {

// The brand text, with its NUL, must fit this many bytes.
constexpr std::size_t kBrandTextCapacity = 1024;

constexpr std::int32_t kHighestPort = 65535;

}  // namespace

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes its arguments by value
bool CheckTcpPort(std::string port) {
    std::int32_t number = 0;
    try {
        number = boost::lexical_cast<std::int32_t>(port);
    } catch (const boost::bad_lexical_cast&) {
        return false;
    }
    // A number outside the port range names no port. Its low 16 bits would
    // name another one (65536 port 0, that is any free port; -1 port 65535)
    // and answer a question nobody asked.
    if (number < 0 || number > kHighestPort) return false;

    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<std::uint16_t>(number));

    const quorane::FileDescriptor socket = quorane::platform::OpenSocket(AF_INET, SOCK_STREAM);
    if (socket.get() < 0) return false;
    // No address reuse: a port another socket holds, even one only lingering
    // after a close, must show as taken. The socket never listens and is
    // closed on return whatever the bind gave.
    return ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

std::string GetCpuModel() {
    const std::optional<std::string> brand =
        quorane::platform::ProcessorBrandText(kBrandTextCapacity);
    if (!brand) {
        std::perror("sysctl");
        return {};
    }
    return *brand;
}

uint64_t GetFreeMemory() { return 0; }

std::string GetUserNameFromPort(int32_t /*port*/) { return {}; }
