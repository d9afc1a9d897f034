#include "discovery/platform_browse_network.hpp"

#include <memory>
#include <utility>

#include "platform/multicast_udp_socket.hpp"
#include "platform/socket_address.hpp"

namespace kestrune::discovery {
namespace {

class PlatformQuerySocket final : public QuerySocket {
 public:
  explicit PlatformQuerySocket(platform::MulticastUdpSocket socket) : socket_(std::move(socket)) {}

  std::optional<std::size_t> try_receive(std::span<std::uint8_t> buffer) override {
    return socket_.try_receive(buffer);
  }

  bool send_query(std::span<const std::uint8_t> query) override {
    return socket_.send_to(query, platform::SocketAddress::of(kMdnsGroup, kMdnsPort)).has_value();
  }

 private:
  platform::MulticastUdpSocket socket_;
};

class PlatformBrowseNetwork final : public BrowseNetwork {
 public:
  support::Result<std::vector<platform::InterfaceAddress>> interface_addresses() override {
    return platform::list_interface_addresses();
  }

  support::Result<std::unique_ptr<QuerySocket>> open_query_socket(
      const platform::Ipv4InterfaceAddress& interface,
      std::span<const std::uint8_t> query) override {
    // Nothing beyond these steps: no address reuse, no outgoing interface, no loopback setting,
    // and never port 5353, so answers come back to this socket's own ephemeral port.
    auto socket = platform::MulticastUdpSocket::bind(interface.address, 0);
    if (!socket) return support::fail(std::move(socket).error());
    if (auto done = socket->set_nonblocking(); !done) return support::fail(std::move(done).error());
    if (auto done = socket->set_multicast_ttl(kMulticastTtl); !done) {
      return support::fail(std::move(done).error());
    }
    if (auto done = socket->join_group(kMdnsGroup, interface.address); !done) {
      return support::fail(std::move(done).error());
    }
    if (auto done = socket->send_to(query, platform::SocketAddress::of(kMdnsGroup, kMdnsPort));
        !done) {
      return support::fail(std::move(done).error());
    }
    return std::make_unique<PlatformQuerySocket>(std::move(*socket));
  }
};

}  // namespace

std::shared_ptr<BrowseNetwork> platform_browse_network() {
  return std::make_shared<PlatformBrowseNetwork>();
}

}  // namespace kestrune::discovery
