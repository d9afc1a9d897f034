#pragma once
// A TCP port on 127.0.0.1 where a connection is refused at once: a socket is bound to it but never
// listens, so the port stays taken (nothing else can listen there) and every connect to it is
// answered with a reset. Held for as long as the object lives.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kestrune::testing {

class RefusedLoopbackPort {
 public:
  // A port the system picks, or the one asked for. Throws std::runtime_error when it cannot be
  // bound (then something else holds it).
  explicit RefusedLoopbackPort(std::uint16_t wanted = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(wanted);
    socklen_t length = sizeof(address);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ::close(fd_);
      throw std::runtime_error("cannot hold 127.0.0.1:" + std::to_string(wanted));
    }
    port_ = ntohs(address.sin_port);
  }
  ~RefusedLoopbackPort() { ::close(fd_); }
  RefusedLoopbackPort(const RefusedLoopbackPort&) = delete;
  RefusedLoopbackPort& operator=(const RefusedLoopbackPort&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace kestrune::testing
