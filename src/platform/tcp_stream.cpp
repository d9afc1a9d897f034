#include "platform/tcp_stream.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/socket_options.hpp"

namespace kestrune::platform {

namespace {

using support::Error;
using support::fail;

// Waits until the in-progress connect on `fd` has finished or `timeout` has passed.
support::Status wait_for_connect(int fd, std::chrono::nanoseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // Bounded by the deadline; each turn either returns or sleeps in ppoll until it.
  for (;;) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::nanoseconds::zero()) {
      return fail(Error("connect timed out", support::ErrorKind::timed_out, ETIMEDOUT));
    }
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec wait{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    pollfd entry{fd, POLLOUT, 0};
    const int ready = ppoll(&entry, 1, &wait, nullptr);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return fail(Error::from_errno("poll connect", errno));
    }
    if (ready == 0) continue;  // the deadline check above turns this into a timeout
    int socket_error = 0;
    socklen_t size = sizeof socket_error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &socket_error, &size) != 0) {
      return fail(Error::from_errno("connect", errno));
    }
    if (socket_error != 0) return fail(Error::from_errno("connect", socket_error));
    return {};
  }
}

}  // namespace

support::Result<TcpStream> TcpStream::connect(const SocketAddress& address,
                                              std::chrono::nanoseconds timeout) {
  const int fd = ::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return fail(Error::from_errno("create TCP socket", errno));
  TcpStream stream(fd);
  if (::connect(fd, address.native(), address.native_size()) != 0) {
    if (errno != EINPROGRESS) return fail(Error::from_errno("connect", errno));
    if (auto waited = wait_for_connect(fd, timeout); !waited) return fail(waited.error());
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return fail(Error::from_errno("make TCP socket blocking", errno));
  }
  return stream;
}

support::Status TcpStream::set_nodelay(bool enabled) {
  const int value = enabled ? 1 : 0;
  if (setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) != 0) {
    return fail(Error::from_errno("set TCP_NODELAY", errno));
  }
  return {};
}

support::Status TcpStream::set_read_timeout(std::chrono::nanoseconds timeout) {
  return set_socket_timeout(fd_.get(), SO_RCVTIMEO, timeout, "set read timeout");
}

support::Status TcpStream::set_write_timeout(std::chrono::nanoseconds timeout) {
  return set_socket_timeout(fd_.get(), SO_SNDTIMEO, timeout, "set write timeout");
}

support::Result<std::size_t> TcpStream::read_some(std::span<std::uint8_t> data) {
  for (;;) {
    const ssize_t count = ::recv(fd_.get(), data.data(), data.size(), 0);
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno != EINTR) return fail(Error::from_errno("read TCP stream", errno));
  }
}

support::Result<std::size_t> TcpStream::write_some(std::span<const std::uint8_t> data) {
  for (;;) {
    const ssize_t count = ::send(fd_.get(), data.data(), data.size(), MSG_NOSIGNAL);
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno != EINTR) return fail(Error::from_errno("write TCP stream", errno));
  }
}

support::Status TcpStream::write_all(std::span<const std::uint8_t> data) {
  while (!data.empty()) {
    auto written = write_some(data);
    if (!written) return fail(std::move(written).error());
    if (*written == 0) {
      return fail(Error("TCP stream accepted no bytes", support::ErrorKind::connection_closed));
    }
    data = data.subspan(*written);
  }
  return {};
}

support::Status TcpStream::shutdown_both() {
  if (::shutdown(fd_.get(), SHUT_RDWR) != 0) {
    return fail(Error::from_errno("shut down TCP stream", errno));
  }
  return {};
}

support::Result<SocketAddress> TcpStream::local_address() const {
  return socket_local_address(fd_.get());
}

support::Result<SocketAddress> TcpStream::peer_address() const {
  return socket_peer_address(fd_.get());
}

}  // namespace kestrune::platform
