#include "engine/core/session_error.hpp"

namespace kestrune::engine {

namespace {

constexpr std::uint32_t kCodeMask = 0xFF;
constexpr std::uint32_t kSuccessCode = static_cast<std::uint32_t>(SessionErrorKind::success);
constexpr std::uint32_t kLastStage = static_cast<std::uint32_t>(SessionStage::internal);

}  // namespace

std::string_view wire_name(SessionErrorKind kind) {
  const auto index = static_cast<std::size_t>(kind);
  if (index < kSessionErrorKindNames.size()) return kSessionErrorKindNames[index];
  return "completed";
}

std::string_view wire_name(SessionStage stage) {
  const auto index = static_cast<std::size_t>(stage);
  if (index < kSessionStageNames.size()) return kSessionStageNames[index];
  return kSessionStageNames.back();
}

std::uint32_t SessionError::pack() const {
  return static_cast<std::uint32_t>(code) | static_cast<std::uint32_t>(stage) << 8 |
         static_cast<std::uint32_t>(retryable ? 1 : 0) << 16;
}

SessionError SessionError::unpack(std::uint32_t packed) {
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
