#include "engine/core/session_handle.hpp"

#include <cmath>
#include <utility>

#include "engine/core/session_report_merge.hpp"
#include "platform/stderr_log.hpp"

namespace kestrune::engine {

SessionHandle::SessionHandle(std::shared_ptr<SessionShared> shared) : shared_(std::move(shared)) {}

SessionHandle::SessionHandle(SessionHandle&& other) noexcept
    : shared_(std::move(other.shared_)), owner_(std::exchange(other.owner_, false)) {}

SessionHandle& SessionHandle::operator=(SessionHandle&& other) noexcept {
  if (this != &other) {
    drop_session_handle(*this);
    shared_ = std::move(other.shared_);
    owner_ = std::exchange(other.owner_, false);
  }
  return *this;
}

SessionHandle::~SessionHandle() { drop_session_handle(*this); }

void drop_session_handle(SessionHandle& handle) {
  std::shared_ptr<SessionShared> shared = std::move(handle.shared_);
  const bool owner = std::exchange(handle.owner_, false);
  if (!shared || !owner) return;
  if (shared->owner_count.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (shared->outcome.lock()->has_value()) return;
  request_session_stop(*shared, /*last_owner=*/true);
  const SessionOutcome outcome = wait_session_outcome(*shared);
  join_coordinator(*shared);
  if (!outcome && outcome.error().code == SessionErrorKind::shutdown_timeout) {
    platform::write_stderr_line("error[core_shutdown]: shutdown deadline exceeded");
  }
}

SessionOutcome stop_and_wait_session(SessionHandle& handle) {
  if (!handle.shared()) {
    return std::unexpected(
        SessionError::of(SessionErrorKind::internal_error, SessionStage::internal));
  }
  request_session_stop(*handle.shared(), /*last_owner=*/false);
  return wait_and_join_session(handle);
}

SessionOutcome wait_and_join_session(SessionHandle& handle) {
  if (!handle.shared()) {
    return std::unexpected(
        SessionError::of(SessionErrorKind::internal_error, SessionStage::internal));
  }
  SessionOutcome outcome = wait_session_outcome(*handle.shared());
  join_coordinator(*handle.shared());
  return outcome;
}

SessionStatus set_session_volume(SessionHandle& handle, float volume) {
  if (!std::isfinite(volume) || volume < 0.0f || volume > 1.0f) {
    return std::unexpected(
        SessionError::of(SessionErrorKind::config_error, SessionStage::set_volume));
  }
  if (!handle.shared() || current_session_state(*handle.shared()) == SessionState::stopped) {
    return std::unexpected(SessionError::of(SessionErrorKind::cancelled, SessionStage::set_volume));
  }
  SessionShared& shared = *handle.shared();
  shared.volume.store(volume, std::memory_order_relaxed);
  shared.volume_generation.fetch_add(1, std::memory_order_acq_rel);
  return {};
}

SessionState session_state(const SessionHandle& handle) {
  if (!handle.shared()) return SessionState::stopped;
  return current_session_state(*handle.shared());
}

SessionReport session_report_snapshot(const SessionHandle& handle) {
  if (!handle.shared()) return {};
  return snapshot_session_report(*handle.shared());
}

}  // namespace kestrune::engine
