#include "shell/active_session.hpp"

#include <utility>

namespace kestrune::shell {

// Until sessions can start, a session in the slot has nothing to stop or to join; it counts as
// never having reached its report.

bool active_session_stopped(const ActiveSession&) { return false; }

SessionEnd stop_active_session(ActiveSessionSlot& slot) {
  if (slot) drop_active_session(std::move(*slot));
  slot.reset();
  return SessionEnd::error;
}

void reap_finished_session(ActiveSessionSlot& slot) {
  if (slot) drop_active_session(std::move(*slot));
  slot.reset();
}

void drop_active_session(ActiveSession session) { session.acknowledgement.close(); }

}  // namespace kestrune::shell
