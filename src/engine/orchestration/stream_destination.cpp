#include "engine/orchestration/stream_destination.hpp"

namespace kestrune::engine {

platform::SocketAddress stream_destination(const platform::IpAddress& receiver,
                                           std::uint16_t port) {
  return platform::SocketAddress::of(receiver, port);
}

}  // namespace kestrune::engine
