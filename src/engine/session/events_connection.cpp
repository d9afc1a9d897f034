#include "engine/session/events_connection.hpp"

#include <algorithm>

namespace kestrune::engine {

support::Result<platform::TcpStream> connect_events_with_deadline(
    const platform::SocketAddress& address, SessionShared& shared) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + kEventsConnectTimeout;
  for (;;) {  // bounded by the deadline: each attempt lasts at most 100 ms
    if (shared.stop_requested.load(std::memory_order_acquire)) {
      return support::fail("startup cancelled", support::ErrorKind::interrupted);
    }
    const auto remaining = deadline - Clock::now();
    if (remaining <= Clock::duration::zero()) {
      return support::fail("events connect timed out", support::ErrorKind::timed_out);
    }
    auto attempt = platform::TcpStream::connect(
        address, std::min<std::chrono::nanoseconds>(remaining, kEventsConnectAttempt));
    if (attempt) return attempt;
    if (!support::is_timeout_error(attempt.error()) || Clock::now() >= deadline) return attempt;
  }
}

}  // namespace kestrune::engine
