#include "engine/core/session_shared.hpp"

#include <utility>

namespace kestrune::engine {

namespace {

thread_local const SessionShared* current_coordinator = nullptr;

// Sets the state and queues its event under the state lock, so the value and the order of events
// always agree.
void transition_locked(SessionShared& shared, support::Mutex<SessionState>::Guard& state,
                       SessionState next, TransitionReason reason) {
  *state = next;
  post_state_event(*shared.mailbox, next, reason);
}

}  // namespace

SessionShared::SessionShared(const SessionId& id, float initial_volume, Instant start)
    : start_time(start), mailbox(std::make_shared<SessionMailbox>(id)), volume(initial_volume) {}

std::shared_ptr<SessionShared> make_session_shared(const SessionId& id, float initial_volume,
                                                   Instant start) {
  return std::make_shared<SessionShared>(id, initial_volume, start);
}

void notify_session_waiters(SessionShared& shared) { shared.changed.notify_all(); }

void transition_session_state(SessionShared& shared, SessionState state, TransitionReason reason) {
  {
    auto guard = shared.state.lock();
    transition_locked(shared, guard, state, reason);
  }
  notify_session_waiters(shared);
}

SessionStatus mark_startup_complete(SessionShared& shared) {
  if (shared.stop_requested.load(std::memory_order_acquire)) {
    return std::unexpected(SessionError::of(SessionErrorKind::cancelled, SessionStage::shutdown));
  }
  transition_session_state(shared, SessionState::playing, TransitionReason::startup_complete);
  *shared.startup_completed.lock() = true;
  notify_session_waiters(shared);
  return {};
}

bool startup_completed(SessionShared& shared) { return *shared.startup_completed.lock(); }

void record_end_reason(SessionShared& shared, TransitionReason reason) {
  auto guard = shared.end_reason.lock();
  if (!guard->has_value()) *guard = reason;
}

std::optional<TransitionReason> recorded_end_reason(SessionShared& shared) {
  return *shared.end_reason.lock();
}

void begin_draining(SessionShared& shared, TransitionReason reason) {
  bool moved = false;
  {
    auto guard = shared.state.lock();
    if (*guard == SessionState::playing) {
      transition_locked(shared, guard, SessionState::draining, reason);
      moved = true;
    }
  }
  if (moved) notify_session_waiters(shared);
}

SessionState current_session_state(SessionShared& shared) { return *shared.state.lock(); }

void post_session_warning(SessionShared& shared, WarningCode code, SessionStage stage,
                          bool retryable) {
  post_mailbox_warning(*shared.mailbox, code, stage, retryable);
}

void request_session_stop(SessionShared& shared, bool last_owner) {
  if (last_owner) shared.last_owner_dropped.store(true, std::memory_order_release);
  shared.stop_requested.store(true, std::memory_order_release);
  auto guard = shared.deadline.lock();
  if (!guard->has_value()) *guard = std::chrono::steady_clock::now() + kShutdownGrace;
  notify_session_waiters(shared);
}

Instant shutdown_deadline(SessionShared& shared) {
  auto guard = shared.deadline.lock();
  if (!guard->has_value()) *guard = std::chrono::steady_clock::now() + kShutdownGrace;
  return **guard;
}

void publish_session_outcome(SessionShared& shared, SessionOutcome outcome) {
  {
    auto guard = shared.outcome.lock();
    if (guard->has_value()) return;
    *guard = std::move(outcome);
  }
  notify_session_waiters(shared);
}

SessionOutcome wait_session_outcome(SessionShared& shared) {
  auto guard = shared.outcome.lock();
  while (!guard->has_value()) guard.wait(shared.changed);
  return **guard;
}

void join_coordinator(SessionShared& shared) {
  std::optional<support::JoinHandle<void>> handle;
  {
    auto guard = shared.coordinator.lock();
    handle = std::move(*guard);
    guard->reset();
  }
  if (!handle) return;
  if (current_coordinator == &shared) {
    handle->release();
    return;
  }
  (void)handle->join();
}

void set_current_coordinator(const SessionShared* shared) { current_coordinator = shared; }

}  // namespace kestrune::engine
