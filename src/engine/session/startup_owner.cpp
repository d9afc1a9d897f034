#include "engine/session/startup_owner.hpp"

#include <algorithm>

#include "engine/core/session_report_merge.hpp"
#include "engine/session/session_teardown.hpp"

namespace kestrune::engine {

StartupOwner::~StartupOwner() { drop_startup_owner(*this); }

void drop_startup_owner(StartupOwner& owner) {
  using Clock = std::chrono::steady_clock;
  if (owner.live == 0) return;
  owner.live = 0;
  const auto deadline = shutdown_deadline(owner.deadline_source);

  ShutdownEvidence evidence;
  std::uint32_t forced_stages = 0;
  bool socket_forced = false;
  bool worker_in_time = true;
  if (owner.timing_responder) {
    worker_in_time = stop_timing_responder(*owner.timing_responder,
                                           std::min(deadline, Clock::now() + kTeardownWorkerLimit));
    evidence.workerCleanup = worker_in_time ? CleanupOutcome::completed : CleanupOutcome::forced;
  }
  if (worker_in_time) {
    socket_forced = Clock::now() >= deadline;
  } else {
    forced_stages = 1;
    socket_forced = true;
  }

  if (owner.connection) {
    if (owner.connection->is_poisoned()) socket_forced = true;
    (void)owner.connection->poison(support::Error("session start abandoned"));
  }
  if (owner.events_connection) {
    (void)owner.events_connection->shutdown_both();
    owner.events_connection.reset();
  }
  owner.control_socket.reset();
  owner.timing_responder.reset();
  owner.connection.reset();  // the control keys are wiped with it

  evidence.socketCleanup = socket_forced ? CleanupOutcome::forced : CleanupOutcome::completed;
  record_shutdown_evidence(owner.evidence_sink, forced_stages, evidence);
}

ShutdownGuard::~ShutdownGuard() { drop_shutdown_guard(*this); }

void drop_shutdown_guard(ShutdownGuard& guard) {
  if (!guard.disarmed) (void)shutdown_deadline(guard.shared);
}

}  // namespace kestrune::engine
