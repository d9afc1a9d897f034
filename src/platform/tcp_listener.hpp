#pragma once
// A listening TCP socket that owns its descriptor; accepts with a bounded wait so that the
// thread that accepts can look at its stop flag between waits.

#include <chrono>
#include <optional>

#include "platform/socket_address.hpp"
#include "platform/tcp_stream.hpp"
#include "support/error.hpp"

namespace kestrune::platform {

class TcpListener {
 public:
  // Binds (port 0: the system picks one) and listens.
  static support::Result<TcpListener> bind(const SocketAddress& address);

  TcpListener(TcpListener&& other) noexcept;
  TcpListener& operator=(TcpListener&& other) noexcept;
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;
  ~TcpListener();

  // The next connection, or nothing when none arrived within `wait`.
  support::Result<std::optional<TcpStream>> accept_for(std::chrono::nanoseconds wait);
  support::Result<SocketAddress> local_address() const;
  void close();

 private:
  explicit TcpListener(int fd) : fd_(fd) {}

  int fd_ = -1;
};

}  // namespace kestrune::platform
