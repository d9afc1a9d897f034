#include "engine/orchestration/stream_destination.hpp"

namespace kestrune::engine {

platform::SocketAddress stream_destination(const IpAddress& receiver, std::uint16_t port) {
  if (receiver.is_v4()) {
    return platform::SocketAddress::ipv4(
        {receiver.bytes[0], receiver.bytes[1], receiver.bytes[2], receiver.bytes[3]}, port);
  }
  return platform::SocketAddress::ipv6(receiver.bytes, port);
}

}  // namespace kestrune::engine
