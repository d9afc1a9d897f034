#include "engine/orchestration/session_slot.hpp"

#include <utility>

#include "engine/core/session_report_merge.hpp"

namespace kestrune::engine {

namespace {

std::uint64_t load_or_zero(const std::shared_ptr<std::atomic<std::uint64_t>>& counter) {
  return counter ? counter->load(std::memory_order_relaxed) : 0;
}

}  // namespace

SessionSlot::SessionSlot(RtspSession record, std::shared_ptr<SessionShared> session_shared)
    : session(std::move(record)), shared(std::move(session_shared)) {}

SessionSlot::~SessionSlot() { shutdown_session_owner(*this); }

SessionTeardown finish_session(SessionSlot& slot, Instant deadline, bool past_deadline) {
  SessionTeardown result;
  if (!slot.session) return result;
  RtspSession record(std::move(*slot.session));
  slot.session.reset();
  result.teardown =
      past_deadline ? abort_session_transport(record) : flush_and_teardown(record, deadline);
  result.timing = {load_or_zero(record.timing_responder.requests),
                   load_or_zero(record.timing_responder.replies)};
  result.teardown = close_session_record(std::move(record), result.teardown);
  return result;
}

void shutdown_session_owner(SessionSlot& slot) {
  if (!slot.session || !slot.shared) return;
  SessionShared& shared = *slot.shared;
  const Instant deadline = shutdown_deadline(shared);
  TeardownEvidence teardown;
  if (slot.session->state != TransportState::closed) {
    teardown =
        finish_session(slot, deadline, std::chrono::steady_clock::now() >= deadline).teardown;
  } else {
    teardown.evidence.socketCleanup = CleanupOutcome::completed;
    slot.session.reset();
  }
  record_shutdown_evidence(shared, teardown.forced_stages, teardown.evidence);
}

}  // namespace kestrune::engine
