#pragma once
// Starting a session: the configuration check, the process-wide lease, the session id, the shared
// state with its mailbox and first state event, and the "airplay-coordinator" thread, which is
// released through a zero-capacity start gate only once its join handle is stored and the owner
// handle is made. start_session does not return before the coordinator has passed the gate.
//
// The coordinator runs the runner once, then posts the final states (a failed state first when
// the session failed), gives the lease back, freezes the final report, publishes the outcome and
// closes the mailbox with the terminal record.

#include <expected>
#include <memory>

#include "engine/core/session_config.hpp"
#include "engine/core/session_error.hpp"
#include "engine/core/session_events.hpp"
#include "engine/core/session_handle.hpp"
#include "engine/core/session_runner.hpp"
#include "engine/core/session_shared.hpp"
#include "support/channel.hpp"

namespace kestrune::engine {

inline constexpr char kCoordinatorThreadName[] = "airplay-coordinator";

struct StartedSession {
  SessionHandle handle;  // the one owner handle
  SessionEventSource events;
};

// Errors of a start, none retryable: config_error at validate_config, session_busy at
// acquire_lease, internal_error at start_coordinator when the thread cannot be spawned,
// internal_error at internal when the OS random source cannot make the session id. A failed start
// leaves the lease as it found it.
// Starts a session that `runner` runs on its coordinator thread. The process starts every session
// with the production runner (start_session in engine/engine.hpp);
// tests script a session's life with a runner of their own.
[[nodiscard]] SessionExpected<StartedSession> start_session_with_runner(
    SessionConfig config, std::unique_ptr<SessionRunner> runner);

struct StartSignal {};

// What the coordinator thread owns.
struct CoordinatorThreadMain {
  SessionConfig config;
  support::Receiver<StartSignal> start_gate;
  std::unique_ptr<SessionRunner> runner;
  std::shared_ptr<SessionShared> shared;
};

// The coordinator thread's body. A gate closed without a signal ends it without running anything.
// A runner that ends its thread (support::end_thread) or throws is treated as internal_error at
// internal so that the final states, the outcome and the terminal record are still published; the
// thread then ends abnormally with the runner's message.
void run_coordinator(CoordinatorThreadMain main);

}  // namespace kestrune::engine
