#include "platform/socket_options.hpp"

#include <sys/time.h>

#include <cerrno>
#include <string>

namespace kestrune::platform {

using support::Error;
using support::fail;

support::Status set_socket_timeout(int fd, int option, std::chrono::nanoseconds timeout,
                                   std::string_view what) {
  auto micros = std::chrono::ceil<std::chrono::microseconds>(timeout).count();
  if (micros < 1) micros = 1;
  timeval value{};
  value.tv_sec = static_cast<time_t>(micros / 1'000'000);
  value.tv_usec = static_cast<suseconds_t>(micros % 1'000'000);
  if (::setsockopt(fd, SOL_SOCKET, option, &value, sizeof value) != 0) {
    return fail(Error::from_errno(what, errno));
  }
  return {};
}

namespace {

template <class Query>
support::Result<SocketAddress> query_address(int fd, Query query, std::string_view what) {
  sockaddr_storage storage{};
  socklen_t size = sizeof storage;
  if (query(fd, reinterpret_cast<sockaddr*>(&storage), &size) != 0) {
    return fail(Error::from_errno(what, errno));
  }
  auto address = SocketAddress::from_native(storage, size);
  if (!address) return fail(std::string(what) + ": neither IPv4 nor IPv6");
  return *address;
}

}  // namespace

support::Result<SocketAddress> socket_local_address(int fd) {
  return query_address(fd, ::getsockname, "read local address");
}

support::Result<SocketAddress> socket_peer_address(int fd) {
  return query_address(fd, ::getpeername, "read peer address");
}

}  // namespace kestrune::platform
