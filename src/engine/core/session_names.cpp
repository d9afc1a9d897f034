#include "engine/core/session_state.hpp"
#include "engine/core/session_warning.hpp"

namespace kestrune::engine {

namespace {

// Out-of-range values cannot be built from the enumerations' own constants; the last name keeps
// a corrupted value printable instead of reading past the table.
template <std::size_t N, class E>
std::string_view lookup(const std::array<std::string_view, N>& names, E value) {
  const auto index = static_cast<std::size_t>(value);
  return index < N ? names[index] : names[N - 1];
}

}  // namespace

std::string_view wire_name(SessionState state) { return lookup(kSessionStateNames, state); }
std::string_view wire_name(TransitionReason reason) {
  return lookup(kTransitionReasonNames, reason);
}
std::string_view wire_name(WarningCode code) { return lookup(kWarningCodeNames, code); }

}  // namespace kestrune::engine
