#pragma once
// A connected TCP stream that owns its socket. Blocking reads and writes bounded by the socket's
// read and write timeouts; a timed-out read or write fails with an error of kind would_block, a
// peer that went away with kind connection_closed, a connect that ran out of time with timed_out.
// EINTR is retried inside; every other failure keeps its errno in the error.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/socket_address.hpp"
#include "platform/unique_fd.hpp"
#include "support/error.hpp"

namespace kestrune::platform {

class TcpStream {
 public:
  // One connect attempt that gives up after `timeout` (non-blocking connect, then a poll).
  static support::Result<TcpStream> connect(const SocketAddress& address,
                                            std::chrono::nanoseconds timeout);
  // Takes ownership of a connected stream socket (an accepted socket, one end of a socketpair).
  static TcpStream adopt(int fd) { return TcpStream(fd); }

  support::Status set_nodelay(bool enabled);
  // The longest a single read or write may block. Rounded up to whole microseconds; a duration
  // below one microsecond counts as one (a zero timeout would mean "wait for ever" to the kernel).
  support::Status set_read_timeout(std::chrono::nanoseconds timeout);
  support::Status set_write_timeout(std::chrono::nanoseconds timeout);

  // Reads what is there, at most data.size() bytes; 0 means the peer closed its side.
  support::Result<std::size_t> read_some(std::span<std::uint8_t> data);
  // Writes some of the bytes (never raises SIGPIPE); the count written.
  support::Result<std::size_t> write_some(std::span<const std::uint8_t> data);
  // Writes every byte, each write bounded by the write timeout.
  support::Status write_all(std::span<const std::uint8_t> data);

  // Shuts both directions down; the socket stays open until the stream is dropped.
  support::Status shutdown_both();
  // Closes the socket now (also done on drop).
  void close() { fd_.close(); }

  bool is_open() const { return fd_.is_open(); }
  int native_handle() const { return fd_.get(); }
  support::Result<SocketAddress> local_address() const;
  support::Result<SocketAddress> peer_address() const;

 private:
  explicit TcpStream(int fd) : fd_(fd) {}

  UniqueFd fd_;
};

}  // namespace kestrune::platform
