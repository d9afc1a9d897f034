#pragma once
// The state one session shares between the shell's handle, the event pump, the coordinator and
// the session's workers. Each field has its own lock and no operation holds two of them at once.
// A lock left poisoned by a failed thread is used as it is: its data is read and written all the
// same (the warning lock alone has a rule of its own, see session_mailbox.hpp).
//
// The stop-requested flag is the session's cancellation flag: the runner, the control client's
// start sequence and exchanges and the stream loops read it directly (by address, where a
// cancellation source needs one).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>

#include "engine/core/session_error.hpp"
#include "engine/core/session_id.hpp"
#include "engine/core/session_mailbox.hpp"
#include "engine/core/session_report.hpp"
#include "engine/core/session_state.hpp"
#include "engine/core/session_warning.hpp"
#include "support/mutex.hpp"
#include "support/thread.hpp"

namespace kestrune::engine {

using Instant = std::chrono::steady_clock::time_point;

// The whole teardown after the first stop request (or the session's own end) gets this long.
inline constexpr std::chrono::seconds kShutdownGrace{10};

// A session's final result: its report when it ended without error, else its error. Published
// once, by the coordinator.
using SessionOutcome = SessionExpected<SessionReport>;

struct SessionShared {
  SessionShared(const SessionId& id, float initial_volume, Instant start);
  SessionShared(const SessionShared&) = delete;
  SessionShared& operator=(const SessionShared&) = delete;

  const Instant start_time;
  const std::shared_ptr<SessionMailbox> mailbox;

  support::Mutex<std::optional<SessionOutcome>> outcome;
  // Waited on with the outcome lock; notified after every state change, stop request, startup
  // completion and the publication of the outcome.
  std::condition_variable changed;

  support::Mutex<std::optional<SessionReport>> final_report;
  std::atomic<std::uint64_t> owner_count{1};
  support::Mutex<std::optional<support::JoinHandle<void>>> coordinator;
  support::Mutex<SessionReport> live_report;  // the metrics lock

  std::atomic<float> volume;  // relaxed loads and stores
  std::atomic<std::uint64_t> volume_generation{1};

  support::Mutex<std::optional<Instant>> deadline;  // the shutdown deadline, armed once

  support::Mutex<SessionState> state{SessionState::starting};
  support::Mutex<bool> startup_completed{false};
  std::atomic<bool> stop_requested{false};
  std::atomic<bool> last_owner_dropped{false};
  support::Mutex<std::optional<TransitionReason>> end_reason;  // the first recorded stays
};

std::shared_ptr<SessionShared> make_session_shared(
    const SessionId& id, float initial_volume, Instant start = std::chrono::steady_clock::now());

// Wakes every waiter on the condition variable.
void notify_session_waiters(SessionShared& shared);

// Sets the state and posts its event (see post_state_event for the one fatal case). No transition
// is refused: the callers keep the order.
void transition_session_state(SessionShared& shared, SessionState state, TransitionReason reason);

// Moves the session to playing and marks startup complete; cancelled at shutdown, with nothing
// changed, when a stop was requested.
[[nodiscard]] SessionStatus mark_startup_complete(SessionShared& shared);
bool startup_completed(SessionShared& shared);

// Keeps the first reason streaming ended for; later calls change nothing.
void record_end_reason(SessionShared& shared, TransitionReason reason);
std::optional<TransitionReason> recorded_end_reason(SessionShared& shared);

// playing -> draining with `reason`; any other state is left alone.
void begin_draining(SessionShared& shared, TransitionReason reason);

SessionState current_session_state(SessionShared& shared);

// Never blocks, never fails (see post_mailbox_warning).
void post_session_warning(SessionShared& shared, WarningCode code, SessionStage stage,
                          bool retryable);

// Marks the stop (and, if asked, that the last owner went), arms the shutdown deadline if it is
// not armed yet and wakes the waiters. A second request changes only the flags.
void request_session_stop(SessionShared& shared, bool last_owner);

// The shutdown deadline, armed at now + 10 s first if it is absent; never moved afterwards.
Instant shutdown_deadline(SessionShared& shared);

// Publishes the outcome (once; a second publication is ignored) and wakes the waiters.
void publish_session_outcome(SessionShared& shared, SessionOutcome outcome);

// Waits without a time limit until the outcome is published; returns a copy.
[[nodiscard]] SessionOutcome wait_session_outcome(SessionShared& shared);

// Joins the coordinator thread once; later calls do nothing. Called on the coordinator thread
// itself it only lets go of the handle. An abnormal end reported by the join is discarded.
void join_coordinator(SessionShared& shared);

// Marks the calling thread as the coordinator of `shared` (nullptr: of none), for
// join_coordinator's self-check.
void set_current_coordinator(const SessionShared* shared);

}  // namespace kestrune::engine
