#pragma once
// The UDP destinations of a stream: the receiver's address with its data port (audio) or its
// control port (sync packets and retransmissions). An IPv4 receiver gives an IPv4 socket address,
// an IPv6 one an IPv6 socket address with flow information 0 and scope 0.

#include <cstdint>

#include "platform/ip_address.hpp"
#include "platform/socket_address.hpp"

namespace kestrune::engine {

platform::SocketAddress stream_destination(const platform::IpAddress& receiver, std::uint16_t port);

}  // namespace kestrune::engine
