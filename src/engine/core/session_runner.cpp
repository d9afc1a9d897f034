#include "engine/core/session_runner.hpp"

namespace kestrune::engine {

SessionError DefaultSessionRunner::run(const SessionConfig&,
                                       std::shared_ptr<SessionShared> shared) {
  if (shared->stop_requested.load(std::memory_order_acquire)) {
    return SessionError::of(SessionErrorKind::cancelled, SessionStage::shutdown);
  }
  return SessionError::of(SessionErrorKind::internal_error, SessionStage::internal);
}

}  // namespace kestrune::engine
