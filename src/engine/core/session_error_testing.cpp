#include "engine/core/session_error_testing.hpp"

namespace kestrune::engine {

namespace {

constexpr std::uint32_t kCodeMask = 0xFF;
constexpr std::uint32_t kSuccessCode = static_cast<std::uint32_t>(SessionErrorKind::success);
constexpr std::uint32_t kLastStage = static_cast<std::uint32_t>(SessionStage::internal);

}  // namespace

std::uint32_t pack_session_error(const SessionError& error) {
  return static_cast<std::uint32_t>(error.code) | static_cast<std::uint32_t>(error.stage) << 8 |
         static_cast<std::uint32_t>(error.retryable ? 1 : 0) << 16;
}

SessionError unpack_session_error(std::uint32_t packed) {
  const std::uint32_t code = packed & kCodeMask;
  const std::uint32_t stage = (packed >> 8) & kCodeMask;
  const std::uint32_t retryable = (packed >> 16) & kCodeMask;
  SessionError error;
  error.code =
      code <= kSuccessCode ? static_cast<SessionErrorKind>(code) : SessionErrorKind::internal_error;
  error.stage = stage <= kLastStage ? static_cast<SessionStage>(stage) : SessionStage::internal;
  error.retryable = retryable != 0;
  return error;
}

}  // namespace kestrune::engine
