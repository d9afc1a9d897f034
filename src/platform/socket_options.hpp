#pragma once
// What every socket of the platform layer shares: timeouts and its addresses.

#include <sys/socket.h>

#include <chrono>
#include <string_view>

#include "platform/socket_address.hpp"
#include "support/error.hpp"

namespace kestrune::platform {

// Sets SO_RCVTIMEO or SO_SNDTIMEO. Rounded up to whole microseconds; anything below one
// microsecond counts as one, since a zero timeout means "wait for ever" to the kernel. `what`
// names the step in the error ("set UDP read timeout").
support::Status set_socket_timeout(int fd, int option, std::chrono::nanoseconds timeout,
                                   std::string_view what);

support::Result<SocketAddress> socket_local_address(int fd);
support::Result<SocketAddress> socket_peer_address(int fd);

}  // namespace kestrune::platform
