#include "platform/tcp_listener.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>

#include "platform/socket_options.hpp"

namespace kestrune::platform {

using support::Error;
using support::fail;

support::Result<TcpListener> TcpListener::bind(const SocketAddress& address) {
  const int fd = ::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(Error::from_errno("create TCP listening socket", errno));
  TcpListener listener(fd);
  const int reuse = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0) {
    return fail(Error::from_errno("set SO_REUSEADDR", errno));
  }
  if (::bind(fd, address.native(), address.native_size()) != 0) {
    return fail(Error::from_errno("bind TCP " + address.to_string(), errno));
  }
  if (::listen(fd, 16) != 0) return fail(Error::from_errno("listen", errno));
  return listener;
}

support::Result<std::optional<TcpStream>> TcpListener::accept_for(std::chrono::nanoseconds wait) {
  const auto ns = std::max<std::int64_t>(0, wait.count());
  timespec limit{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
  pollfd entry{fd_.get(), POLLIN, 0};
  const int ready = ppoll(&entry, 1, &limit, nullptr);
  if (ready < 0) {
    if (errno == EINTR) return std::optional<TcpStream>();
    return fail(Error::from_errno("poll listening socket", errno));
  }
  if (ready == 0) return std::optional<TcpStream>();
  const int fd = ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED) {
      return std::optional<TcpStream>();
    }
    return fail(Error::from_errno("accept", errno));
  }
  return std::optional<TcpStream>(TcpStream::adopt(fd));
}

support::Result<SocketAddress> TcpListener::local_address() const {
  return socket_local_address(fd_.get());
}

}  // namespace kestrune::platform
