#pragma once
// A session's failure as three bytes {code, stage, retryable}. Where it crosses a function or
// thread boundary as one number it is packed into a u32: code | stage << 8 | retryable << 16.
// Code 12 means success; the other two bytes then carry no meaning and are not compared.

#include <array>
#include <cstdint>
#include <expected>
#include <string_view>

namespace kestrune::engine {

enum class SessionErrorKind : std::uint8_t {
  config_error,
  session_busy,
  network_error,
  pairing_failed,
  setup_failed,
  record_rejected,
  control_poisoned,
  capture_failed,
  stream_failed,
  shutdown_timeout,
  cancelled,
  internal_error,
  success,  // 12: no error
};

// Where a session failed; also the stage of a warning.
enum class SessionStage : std::uint8_t {
  validate_config,
  acquire_lease,
  start_coordinator,
  pairing,
  timing,
  setup_phase1,
  events,
  control,
  setup_phase2,
  record,
  stream_worker,
  capture,
  feedback,
  set_volume,
  shutdown,
  internal,
};

inline constexpr std::array<std::string_view, 12> kSessionErrorKindNames = {
    "config_error",  "session_busy",     "network_error",    "pairing_failed",
    "setup_failed",  "record_rejected",  "control_poisoned", "capture_failed",
    "stream_failed", "shutdown_timeout", "cancelled",        "internal_error",
};

inline constexpr std::array<std::string_view, 16> kSessionStageNames = {
    "validate_config", "acquire_lease", "start_coordinator", "pairing",      "timing",
    "setup_phase1",    "events",        "control",           "setup_phase2", "record",
    "stream_worker",   "capture",       "feedback",          "set_volume",   "shutdown",
    "internal",
};

// The name from the tables above; success is reported to the host as "completed". A value no
// enumerator has is "unknown" (support/enum_names.hpp).
std::string_view wire_name(SessionErrorKind kind);
std::string_view wire_name(SessionStage stage);

// Whether producers mark an error of this code as worth retrying: network_error, setup_failed,
// control_poisoned, capture_failed and stream_failed are; every other code is not.
constexpr bool default_retryable(SessionErrorKind kind) {
  switch (kind) {
    case SessionErrorKind::network_error:
    case SessionErrorKind::setup_failed:
    case SessionErrorKind::control_poisoned:
    case SessionErrorKind::capture_failed:
    case SessionErrorKind::stream_failed:
      return true;
    default:
      return false;
  }
}

// [[nodiscard]]: a returned error is handled, or dropped on purpose with an explicit (void).
struct [[nodiscard]] SessionError {
  SessionErrorKind code = SessionErrorKind::success;
  SessionStage stage = SessionStage::internal;
  bool retryable = false;

  static constexpr SessionError success() { return {}; }
  // An error with the retryable flag its code usually carries.
  static constexpr SessionError of(SessionErrorKind kind, SessionStage at) {
    return {kind, at, default_retryable(kind)};
  }

  constexpr bool is_success() const { return code == SessionErrorKind::success; }
  constexpr bool is_error() const { return !is_success(); }

  // Two successes are equal whatever their other bytes hold.
  friend bool operator==(const SessionError& a, const SessionError& b) {
    if (a.is_success() || b.is_success()) return a.code == b.code;
    return a.code == b.code && a.stage == b.stage && a.retryable == b.retryable;
  }
};

// What a fallible step of a session gives back: its value, or the SessionError that stopped it.
// Functions returning one are declared [[nodiscard]]. (An alias, not a class over std::expected:
// GCC 12 at -O2 miscompiles a class derived from std::expected<void, SessionError> returned by
// value, handing back the error state for a success.) A bare SessionError is returned only where
// the error, or success, is itself the value: a session's final result, a worker's join result, a
// mapping from another kind of failure.
template <class T>
using SessionExpected = std::expected<T, SessionError>;
// A step with no value to give: success, or the SessionError that stopped it.
using SessionStatus = SessionExpected<void>;

}  // namespace kestrune::engine
