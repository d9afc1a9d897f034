#include "engine/orchestration/session_result.hpp"

namespace kestrune::engine {

SessionError played_session_result(bool teardown_overran, const StreamOutcome& outcome,
                                   bool feedback_failed, const SessionError& sender_result) {
  if (teardown_overran) {
    return SessionError::of(SessionErrorKind::shutdown_timeout, SessionStage::shutdown);
  }
  if (!outcome) return outcome.error();
  if (feedback_failed) {
    return SessionError::of(SessionErrorKind::control_poisoned, SessionStage::feedback);
  }
  return sender_result;
}

}  // namespace kestrune::engine
