#pragma once
// What a session start holds while it runs, and the clean-up of a start that fails or is
// cancelled after the TCP connection exists (also when the coordinator thread unwinds).
//
// StartupOwner holds the start-up resources until the session record takes them over. Its drop,
// while live, arms the shutdown deadline, stops the timing responder within min(deadline,
// now + 1 s), poisons and shuts down the connection, closes the events stream and the control
// socket, releases everything and records the shutdown evidence (no FLUSH or TEARDOWN was sent).
//
// ShutdownGuard arms the shutdown deadline when it is dropped, unless the start succeeded and
// disarmed it: every failed start after the connection exists leaves the deadline armed.

#include <cstdint>
#include <optional>

#include "engine/core/session_shared.hpp"
#include "engine/rtsp/rtsp_connection.hpp"
#include "engine/session/timing_responder.hpp"
#include "platform/tcp_stream.hpp"
#include "platform/udp_socket.hpp"

namespace kestrune::engine {

struct StartupOwner {
  explicit StartupOwner(SessionShared& session, RtspConnection connected)
      : connection(std::move(connected)), deadline_source(session), evidence_sink(session) {}
  StartupOwner(const StartupOwner&) = delete;
  StartupOwner& operator=(const StartupOwner&) = delete;
  ~StartupOwner();  // drop_startup_owner

  std::optional<RtspConnection> connection;
  SessionShared& deadline_source;
  SessionShared& evidence_sink;
  std::optional<TimingResponder> timing_responder;
  std::optional<platform::TcpStream> events_connection;
  std::optional<platform::UdpSocket> control_socket;
  // 1 from the moment the connection exists until the session record takes everything over.
  std::uint8_t live = 1;
};

// The clean-up above when `owner` is live; afterwards it is not live and holds nothing.
void drop_startup_owner(StartupOwner& owner);

struct ShutdownGuard {
  explicit ShutdownGuard(SessionShared& session) : shared(session) {}
  ShutdownGuard(const ShutdownGuard&) = delete;
  ShutdownGuard& operator=(const ShutdownGuard&) = delete;
  ~ShutdownGuard();  // drop_shutdown_guard

  SessionShared& shared;
  bool disarmed = false;  // set just before a successful start returns
};

void drop_shutdown_guard(ShutdownGuard& guard);

}  // namespace kestrune::engine
