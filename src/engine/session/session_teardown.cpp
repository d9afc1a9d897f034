#include "engine/session/session_teardown.hpp"

#include <algorithm>
#include <optional>

#include "platform/stderr_log.hpp"

namespace kestrune::engine {

namespace {

using Clock = std::chrono::steady_clock;

support::Error teardown_poison() { return support::Error("session transport closed"); }

// min(time left to `deadline`, 2 s); zero when the deadline has passed.
std::chrono::nanoseconds request_budget(Clock::time_point deadline) {
  const auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
  return std::min(std::chrono::duration_cast<std::chrono::nanoseconds>(left),
                  std::chrono::nanoseconds(kTeardownRequestLimit));
}

// One teardown request under the connection's lock. Unless the lock or the connection was
// poisoned already, `poison_after` leaves the connection poisoned whatever happened. Its stderr
// line goes out after the lock is let go.
RequestOutcome teardown_request(RtspSession& session, std::string_view method,
                                const std::vector<RtspHeader>& headers, Clock::time_point deadline,
                                bool poison_after) {
  const platform::DeferredStderr deferred;  // ends after the guard below
  auto connection = session.connection->lock();
  if (connection.poisoned()) return RequestOutcome::transportFailed;
  if (connection->is_poisoned()) return RequestOutcome::skippedControlPoisoned;
  const auto budget = request_budget(deadline);
  RequestOutcome outcome = RequestOutcome::deadlineExceeded;
  if (budget > std::chrono::nanoseconds::zero()) {
    connection->set_request_timeout(budget);
    const auto request_deadline = Clock::now() + budget;
    auto response =
        rtsp_exchange(*connection, method, session.url, headers, {}, CancelSource::none());
    if (!response) {
      outcome = Clock::now() >= request_deadline ? RequestOutcome::deadlineExceeded
                                                 : RequestOutcome::transportFailed;
    } else {
      outcome = response->status >= 200 && response->status <= 299 ? RequestOutcome::succeeded
                                                                   : RequestOutcome::rejected;
    }
  }
  if (poison_after) (void)connection->poison(teardown_poison());
  return outcome;
}

bool is_failed_request(RequestOutcome outcome) {
  return outcome == RequestOutcome::transportFailed ||
         outcome == RequestOutcome::skippedControlPoisoned ||
         outcome == RequestOutcome::deadlineExceeded;
}

}  // namespace

TeardownEvidence flush_and_teardown(RtspSession& session, Clock::time_point deadline) {
  session.state = TransportState::closing;
  TeardownEvidence result;
  result.evidence.flushOutcome =
      teardown_request(session, "FLUSH", {{"RTP-Info", "seq=0;rtptime=0"}}, deadline, false);

  const auto worker_deadline = std::min(deadline, Clock::now() + kTeardownWorkerLimit);
  if (stop_timing_responder(session.timing_responder, worker_deadline)) {
    result.evidence.workerCleanup = CleanupOutcome::completed;
  } else {
    result.evidence.workerCleanup = CleanupOutcome::forced;
    result.forced_stages = 1;
  }

  result.evidence.teardownOutcome = teardown_request(session, "TEARDOWN", {}, deadline, true);
  close_events_connection(session);
  session.state = TransportState::closed;
  return result;
}

TeardownEvidence abort_session_transport(RtspSession& session) {
  session.state = TransportState::closing;
  TeardownEvidence result;
  result.forced_stages = 1;
  result.evidence.workerCleanup = stop_timing_responder(session.timing_responder, Clock::now())
                                      ? CleanupOutcome::completed
                                      : CleanupOutcome::forced;
  RequestOutcome outcome = RequestOutcome::transportFailed;
  {
    auto connection = session.connection->lock();
    if (!connection.poisoned()) {
      outcome = connection->is_poisoned() ? RequestOutcome::skippedControlPoisoned
                                          : RequestOutcome::deadlineExceeded;
      (void)connection->poison(teardown_poison());
    }
  }
  result.evidence.flushOutcome = outcome;
  result.evidence.teardownOutcome = outcome;
  close_events_connection(session);
  session.state = TransportState::closed;
  return result;
}

CleanupOutcome socket_cleanup_for(const TeardownEvidence& teardown) {
  const bool forced = teardown.forced_stages > 0 ||
                      is_failed_request(teardown.evidence.flushOutcome) ||
                      is_failed_request(teardown.evidence.teardownOutcome);
  return forced ? CleanupOutcome::forced : CleanupOutcome::completed;
}

TeardownEvidence close_session_record(RtspSession&& session, TeardownEvidence teardown) {
  teardown.evidence.socketCleanup = socket_cleanup_for(teardown);
  RtspSession dropped(std::move(session));
  return teardown;
}

}  // namespace kestrune::engine
