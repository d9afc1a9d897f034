#pragma once
// The main loop's active-session slot: empty, or the one session whose start was accepted, until
// the main thread has stopped or reaped it. These are the operations the main loop and the
// session commands use on it. No command fills the slot until the session engine can start
// sessions; the engine's handle, the session snapshot and the event pump's join handle then join
// the acknowledgement receiver in ActiveSession.

#include <optional>

#include "support/channel.hpp"

namespace kestrune::shell {

// Sent once by a session's event pump after the session's terminal event has been queued.
struct TerminalAcknowledged {};

struct ActiveSession {
  support::Receiver<TerminalAcknowledged> acknowledgement;
};

using ActiveSessionSlot = std::optional<ActiveSession>;

// How a stopped session ended: with its report, or with a session error.
enum class SessionEnd { report, error };

// Whether the session has reached its stopped state.
bool active_session_stopped(const ActiveSession& session);

// Stops the session in the slot and waits for its end; the slot is empty afterwards. Called only
// with a session in the slot.
SessionEnd stop_active_session(ActiveSessionSlot& slot);

// Joins a session that ended by itself and whose terminal event was acknowledged; the slot is
// empty afterwards.
void reap_finished_session(ActiveSessionSlot& slot);

// Releases what is left of a session at process end.
void drop_active_session(ActiveSession session);

}  // namespace kestrune::shell
