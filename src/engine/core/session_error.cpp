#include "engine/core/session_error.hpp"

#include "support/enum_names.hpp"

namespace kestrune::engine {

std::string_view wire_name(SessionErrorKind kind) {
  if (kind == SessionErrorKind::success) return "completed";
  return support::enum_name(kSessionErrorKindNames, kind);
}

std::string_view wire_name(SessionStage stage) {
  return support::enum_name(kSessionStageNames, stage);
}

}  // namespace kestrune::engine
