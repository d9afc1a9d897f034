#include "engine/core/session_error.hpp"

namespace kestrune::engine {

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

}  // namespace kestrune::engine
