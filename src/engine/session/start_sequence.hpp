#pragma once
// The session start: brings one receiver from nothing to a recording stream. In order: TCP
// connect, GET /info, transient pair-setup, the switch to encrypted framing, OPTIONS, the timing
// responder, SETUP phase 1, the events connection, the local control socket, SETUP phase 2, then
// the session record and RECORD. One progress line per step goes to standard error (the
// receiver's address is never printed). Every step checks the session's stop request and every
// request gives up within about 100 ms of one, so a stop during the start ends it quickly.
//
// A failed start has cleaned up after itself and recorded its shutdown evidence before it
// returns; once the TCP connection existed it leaves the shutdown deadline armed. Only a
// successful start leaves the deadline as it found it. Runs on the coordinator thread.

#include <cstdint>
#include <expected>

#include "engine/core/session_shared.hpp"
#include "engine/session/rtsp_session.hpp"
#include "engine/session/startup_error.hpp"
#include "platform/ip_address.hpp"

namespace kestrune::engine {

// RECORD is sent with this request timeout; 10 s again once it succeeded.
inline constexpr std::chrono::seconds kRecordRequestTimeout{2};

// The receiver as the runner chose it: one address and the RTSP port.
struct SessionTarget {
  platform::IpAddress address;
  std::uint16_t port = 0;
};

// The started session (state active), or why the start failed.
std::expected<RtspSession, StartupFailure> start_airplay_session(const SessionTarget& target,
                                                                 SessionShared& shared);

}  // namespace kestrune::engine
