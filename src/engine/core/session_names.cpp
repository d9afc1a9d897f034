#include "engine/core/session_state.hpp"
#include "engine/core/session_warning.hpp"
#include "support/enum_names.hpp"

namespace kestrune::engine {

std::string_view wire_name(SessionState state) {
  return support::enum_name(kSessionStateNames, state);
}
std::string_view wire_name(TransitionReason reason) {
  return support::enum_name(kTransitionReasonNames, reason);
}
std::string_view wire_name(WarningCode code) { return support::enum_name(kWarningCodeNames, code); }

}  // namespace kestrune::engine
