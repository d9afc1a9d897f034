#include "engine/session/startup_error.hpp"

namespace kestrune::engine {

SessionError startup_session_error(StartupErrorKind kind) {
  using K = SessionErrorKind;
  using S = SessionStage;
  switch (kind) {
    case StartupErrorKind::cancelled:
      return SessionError::of(K::cancelled, S::shutdown);
    case StartupErrorKind::connect_or_info:
      return SessionError::of(K::network_error, S::pairing);
    case StartupErrorKind::pairing:
      return SessionError::of(K::pairing_failed, S::pairing);
    case StartupErrorKind::timing:
      return SessionError::of(K::internal_error, S::timing);
    case StartupErrorKind::setup_phase1:
      return SessionError::of(K::setup_failed, S::setup_phase1);
    case StartupErrorKind::control_bind:
      return SessionError::of(K::network_error, S::control);
    case StartupErrorKind::setup_phase2:
      return SessionError::of(K::setup_failed, S::setup_phase2);
    case StartupErrorKind::record_rejected:
      return SessionError::of(K::record_rejected, S::record);
    case StartupErrorKind::record_transport:
      return SessionError::of(K::control_poisoned, S::record);
  }
  return SessionError::of(K::internal_error, S::internal);
}

}  // namespace kestrune::engine
