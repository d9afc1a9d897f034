#include "engine/core/session_start.hpp"

#include <exception>
#include <utility>

#include "engine/core/session_lease.hpp"
#include "engine/core/session_report_merge.hpp"
#include "platform/thread_name.hpp"

namespace kestrune::engine {

namespace {

// The runner's result as the coordinator judges it: a success without a completed startup is
// not a session that played, so it counts as an internal error.
SessionError judged_result(SessionError result, bool startup) {
  if (result.is_success() && !startup) {
    return SessionError::of(SessionErrorKind::internal_error, SessionStage::internal);
  }
  return result;
}

bool posts_failed_state(const SessionError& raw, bool startup, bool stop) {
  if (startup) return raw.is_error();
  if (raw.is_success()) return true;  // success without startup: see judged_result
  return !stop && raw.code != SessionErrorKind::cancelled;
}

TransitionReason stopping_reason(SessionShared& shared, const SessionError& result, bool stop) {
  if (shared.last_owner_dropped.load(std::memory_order_acquire)) {
    return TransitionReason::last_owner_dropped;
  }
  if (result.is_success()) {
    if (auto recorded = recorded_end_reason(shared)) return *recorded;
    return stop ? TransitionReason::stop_requested : TransitionReason::end_of_stream;
  }
  return result.code == SessionErrorKind::cancelled ? TransitionReason::stop_requested
                                                    : TransitionReason::failure;
}

// The host is told only why a completed session ended by itself or was stopped.
TransitionReason terminal_reason(TransitionReason stopping) {
  switch (stopping) {
    case TransitionReason::end_of_stream:
    case TransitionReason::duration_elapsed:
    case TransitionReason::stop_requested:
      return stopping;
    default:
      return TransitionReason::stop_requested;
  }
}

void finish_session(SessionShared& shared, SessionError raw) {
  const bool startup = startup_completed(shared);
  const bool stop = shared.stop_requested.load(std::memory_order_acquire);
  if (posts_failed_state(raw, startup, stop)) {
    transition_session_state(shared, SessionState::failed, TransitionReason::failure);
  }
  const SessionError result = judged_result(raw, startup);
  const TransitionReason reason = stopping_reason(shared, result, stop);
  transition_session_state(shared, SessionState::stopping, reason);
  transition_session_state(shared, SessionState::stopped, TransitionReason::cleanup_complete);

  SessionLease::give_back();

  const SessionReport report = freeze_final_report(shared);
  if (result.is_success()) {
    publish_session_outcome(shared, report);
  } else {
    publish_session_outcome(shared, std::unexpected(result));
  }

  SessionTerminalRecord terminal;
  terminal.error = result;
  terminal.reason = terminal_reason(reason);
  terminal.session_id = shared.mailbox->session_id;
  terminal.report = report;
  close_mailbox(*shared.mailbox, std::move(terminal));
  notify_session_waiters(shared);
}

}  // namespace

void run_coordinator(CoordinatorThreadMain main) {
  if (!main.start_gate.recv()) return;  // start_session gave up before the gate
  set_current_coordinator(main.shared.get());

  std::exception_ptr ended;
  SessionError result;
  try {
    result = main.runner->run(main.config, main.shared);
  } catch (...) {
    ended = std::current_exception();
    result = SessionError::of(SessionErrorKind::internal_error, SessionStage::internal);
  }
  finish_session(*main.shared, result);

  main.runner.reset();
  main.shared.reset();
  set_current_coordinator(nullptr);
  if (ended) std::rethrow_exception(ended);
}

SessionExpected<StartedSession> start_session_with_runner(SessionConfig config,
                                                          std::unique_ptr<SessionRunner> runner) {
  if (const SessionStatus valid = validate_session_config(config); !valid) {
    return std::unexpected(valid.error());
  }
  if (!SessionLease::try_take()) {
    return std::unexpected(
        SessionError::of(SessionErrorKind::session_busy, SessionStage::acquire_lease));
  }
  auto id = make_session_id();
  if (!id) {
    SessionLease::give_back();
    return std::unexpected(
        SessionError::of(SessionErrorKind::internal_error, SessionStage::internal));
  }

  const float volume = config.initialVolume;
  std::shared_ptr<SessionShared> shared = make_session_shared(*id, volume);
  post_state_event(*shared->mailbox, SessionState::starting, TransitionReason::start_requested);

  SessionHandle handle(shared);
  SessionEventSource events(shared);

  auto [gate_sender, gate_receiver] = support::channel<StartSignal>(0);
  CoordinatorThreadMain main{std::move(config), std::move(gate_receiver), std::move(runner),
                             shared};
  auto thread = platform::spawn_named(kCoordinatorThreadName, [main = std::move(main)]() mutable {
    run_coordinator(std::move(main));
  });
  if (!thread) {
    SessionLease::give_back();
    return std::unexpected(
        SessionError::of(SessionErrorKind::internal_error, SessionStage::start_coordinator));
  }
  *shared->coordinator.lock() = std::move(*thread);
  handle.make_owner();
  (void)gate_sender.send({});
  return StartedSession{std::move(handle), std::move(events)};
}

}  // namespace kestrune::engine
