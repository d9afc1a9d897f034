#pragma once
// A UDP socket that owns one file descriptor. Streaming sockets are IPv4 and bound to "0.0.0.0:0";
// reads and writes wait at most their timeouts, and a read that times out fails with an error for
// which support::is_timeout_error holds. A duplicate is another descriptor of the same socket, so
// two threads can use one socket (and one local port) each through their own handle.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/socket_address.hpp"
#include "platform/unique_fd.hpp"
#include "support/error.hpp"

namespace kestrune::platform {

struct ReceivedDatagram {
  std::size_t size;  // bytes placed in the buffer (a longer datagram is cut to the buffer)
  SocketAddress source;
};

class UdpSocket {
 public:
  // An IPv4 socket bound to "0.0.0.0:0": every local address, an ephemeral port.
  static support::Result<UdpSocket> bind_any_ipv4();
  // A socket bound to `local` (127.0.0.1:0 for a test peer, say).
  static support::Result<UdpSocket> bind(const SocketAddress& local);

  // Applies to the socket, so every duplicate sees the same timeouts.
  support::Status set_read_timeout(std::chrono::microseconds timeout);
  support::Status set_write_timeout(std::chrono::microseconds timeout);

  support::Result<SocketAddress> local_address() const;
  support::Result<std::uint16_t> local_port() const;

  // A new descriptor of the same socket (close-on-exec).
  support::Result<UdpSocket> duplicate() const;

  // Sends one datagram; fails when it was not sent whole (an IPv6 destination on an IPv4 socket
  // fails here).
  support::Status send_to(std::span<const std::uint8_t> datagram,
                          const SocketAddress& destination) const;
  // Waits up to the read timeout for one datagram from any source.
  support::Result<ReceivedDatagram> recv_from(std::span<std::uint8_t> buffer) const;

  bool is_open() const { return fd_.is_open(); }
  void close() { fd_.close(); }
  int native_handle() const { return fd_.get(); }

 private:
  explicit UdpSocket(int fd) : fd_(fd) {}

  UniqueFd fd_;
};

}  // namespace kestrune::platform
