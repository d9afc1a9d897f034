#pragma once
// The main loop's active-session slot: empty, or the one session whose start was accepted, until
// the main thread has stopped or reaped it. While it holds a session, startSession answers
// session_busy. Everything here runs on the main thread.

#include <memory>
#include <optional>

#include "engine/engine.hpp"
#include "shell/core_event_pump.hpp"
#include "shell/output_queue.hpp"
#include "shell/session_snapshot.hpp"
#include "support/channel.hpp"
#include "support/error.hpp"
#include "support/thread.hpp"

namespace kestrune::shell {

struct ActiveSession {
  support::Receiver<TerminalAcknowledged> acknowledgement;
  engine::SessionHandle handle;
  std::shared_ptr<SessionSnapshot> snapshot;
  std::optional<support::JoinHandle<void>> pump;  // absent once joined
};

using ActiveSessionSlot = std::optional<ActiveSession>;

// Starts the session's event pump "kestrune-core-events" with its five inputs.
support::Result<support::JoinHandle<void>> spawn_event_pump(
    support::Receiver<PumpStartSignal> start, engine::SessionEventSource events,
    std::shared_ptr<OutputQueue> queue, std::shared_ptr<SessionSnapshot> snapshot,
    support::Sender<TerminalAcknowledged> acknowledgement);

// Takes the session out of the slot (empty afterwards), stops it and waits without a time limit
// for its outcome and its coordinator, joins its event pump (a pump that ended abnormally is
// ignored) and drops the rest. The session's last events, "terminal" among them, are queued
// before it returns. Called only with a session in the slot.
[[nodiscard]] engine::SessionOutcome stop_active_session(ActiveSessionSlot& slot);

// The same for a session that ended by itself and whose terminal event was acknowledged: waits
// for it instead of stopping it; the outcome is not needed (the host had the terminal event).
void reap_finished_session(ActiveSessionSlot& slot);

// Drops the owner handle (which stops a session still running and waits for it), lets go of the
// shared state, releases a pump that was not joined, then the acknowledgement receiver and the
// snapshot.
void drop_active_session(ActiveSession session);

// Drops the owner handle and lets go of the shared state; for a start whose pump could not be
// started.
void release_session_handle(engine::SessionHandle handle);

}  // namespace kestrune::shell
