#pragma once
// The events connection: a TCP stream to the receiver's event port, opened during the start and
// held open without traffic. It gets 2 s in attempts of at most 100 ms and gives up at once when
// the session's stop is requested.

#include <chrono>

#include "engine/core/session_shared.hpp"
#include "platform/socket_address.hpp"
#include "platform/tcp_stream.hpp"
#include "support/error.hpp"

namespace kestrune::engine {

inline constexpr std::chrono::seconds kEventsConnectTimeout{2};
inline constexpr std::chrono::milliseconds kEventsConnectAttempt{100};

// The stream (no socket options set on it), or: "startup cancelled" (interrupted) when the stop
// is requested, "events connect timed out" (timed out) when the 2 s are up, or the first failure
// that is not a time-out (a refused connection, say).
support::Result<platform::TcpStream> connect_events_with_deadline(
    const platform::SocketAddress& address, SessionShared& shared);

}  // namespace kestrune::engine
