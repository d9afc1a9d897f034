#include "engine/session/startup_error.hpp"

namespace kestrune::engine {

SessionError startup_session_error(StartupErrorKind kind) {
  using K = SessionErrorKind;
  using S = SessionStage;
  switch (kind) {
    case StartupErrorKind::Cancelled:
      return SessionError::of(K::cancelled, S::shutdown);
    case StartupErrorKind::ConnectOrInfo:
      return SessionError::of(K::network_error, S::pairing);
    case StartupErrorKind::Pairing:
      return SessionError::of(K::pairing_failed, S::pairing);
    case StartupErrorKind::Timing:
      return SessionError::of(K::internal_error, S::timing);
    case StartupErrorKind::SetupPhase1:
      return SessionError::of(K::setup_failed, S::setup_phase1);
    case StartupErrorKind::ControlBind:
      return SessionError::of(K::network_error, S::control);
    case StartupErrorKind::SetupPhase2:
      return SessionError::of(K::setup_failed, S::setup_phase2);
    case StartupErrorKind::RecordRejected:
      return SessionError::of(K::record_rejected, S::record);
    case StartupErrorKind::RecordTransport:
      return SessionError::of(K::control_poisoned, S::record);
  }
  return SessionError::of(K::internal_error, S::internal);
}

}  // namespace kestrune::engine
