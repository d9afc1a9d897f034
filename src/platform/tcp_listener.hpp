#pragma once
// A listening TCP socket that owns its descriptor; accepts with a bounded wait so that the
// thread that accepts can look at its stop flag between waits.

#include <chrono>
#include <optional>

#include "platform/socket_address.hpp"
#include "platform/tcp_stream.hpp"
#include "platform/unique_fd.hpp"
#include "support/error.hpp"

namespace kestrune::platform {

class TcpListener {
 public:
  // Binds (port 0: the system picks one) and listens.
  static support::Result<TcpListener> bind(const SocketAddress& address);

  // The next connection, or nothing when none arrived within `wait`.
  support::Result<std::optional<TcpStream>> accept_for(std::chrono::nanoseconds wait);
  support::Result<SocketAddress> local_address() const;
  void close() { fd_.close(); }

 private:
  explicit TcpListener(int fd) : fd_(fd) {}

  UniqueFd fd_;
};

}  // namespace kestrune::platform
