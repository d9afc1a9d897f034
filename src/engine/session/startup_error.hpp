#pragma once
// How a session start fails: the kind of failure, for the runner to report, and the error text
// with its context chain, which is never shown to the host.

#include <cstdint>

#include "engine/core/session_error.hpp"
#include "support/error.hpp"

namespace kestrune::engine {

enum class StartupErrorKind : std::uint8_t {
  cancelled,        // a stop check found the stop request, or a connect or exchange failed under it
  connect_or_info,  // TCP connect, GET /info
  pairing,          // pair-setup, key derivation, encrypted OPTIONS transport
  timing,           // the timing responder did not start
  setup_phase1,     // SETUP phase 1 body, exchange, status, answer
  control_bind,     // the local control socket
  setup_phase2,     // SETUP phase 2 body, exchange, status, answer
  record_rejected,  // RECORD answered outside 2xx
  record_transport,  // the RECORD exchange failed
};

struct StartupFailure {
  StartupErrorKind kind;
  support::Error error;
};

// What the session reports for each kind: cancelled at shutdown, network_error at pairing,
// pairing_failed at pairing, internal_error at timing, setup_failed at setup_phase1,
// network_error at control, setup_failed at setup_phase2, record_rejected at record,
// control_poisoned at record; retryable as the code usually is. (A failed events connection only
// warns, so no kind stands for it.)
SessionError startup_session_error(StartupErrorKind kind);

}  // namespace kestrune::engine
