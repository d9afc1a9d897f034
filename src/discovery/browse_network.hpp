#pragma once
// What a browse pass needs of the network, behind an interface so that the owner's schedule and
// the pass can be driven without one: the host's interface addresses, and per interface address
// a query socket that sends the browse query, hands out answers without waiting and can send
// follow-up queries.
// The owner thread alone uses it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/interface_addresses.hpp"
#include "platform/ip_address.hpp"
#include "support/error.hpp"

namespace kestrune::discovery {

inline constexpr platform::IpAddress kMdnsGroup = {224, 0, 0, 251};
inline constexpr std::uint16_t kMdnsPort = 5353;
inline constexpr std::uint8_t kMulticastTtl = 255;

class QuerySocket {
 public:
  virtual ~QuerySocket() = default;
  // One waiting datagram, without waiting: its size in the buffer. Nothing when none waits, on any
  // error, and for a datagram longer than the buffer, which is discarded.
  virtual std::optional<std::size_t> try_receive(std::span<std::uint8_t> buffer) = 0;
  // Sends a further query to 224.0.0.251:5353 from this socket; false when it could not be sent.
  virtual bool send_query(std::span<const std::uint8_t> query) = 0;
};

class BrowseNetwork {
 public:
  virtual ~BrowseNetwork() = default;
  // The host's interface addresses in the system's order, or the error reading them.
  virtual support::Result<std::vector<platform::InterfaceAddress>> interface_addresses() = 0;
  // A socket bound to (interface.address, port 0), non-blocking, with multicast TTL 255 and a
  // membership of 224.0.0.251 on that address, which has sent `query` once to 224.0.0.251:5353.
  // The error of the first step that failed; the socket is then closed.
  virtual support::Result<std::unique_ptr<QuerySocket>> open_query_socket(
      const platform::Ipv4InterfaceAddress& interface, std::span<const std::uint8_t> query) = 0;
};

}  // namespace kestrune::discovery
