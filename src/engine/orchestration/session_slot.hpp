#pragma once
// The runner's hold on a started session's transport record, from the moment the start sequence
// returns it until the teardown takes it out. A slot that still holds a record when the runner
// leaves ends that session on its way out: FLUSH and TEARDOWN within the shutdown deadline, or
// the quick close once the deadline has passed, with the evidence recorded either way.

#include <cstdint>
#include <memory>
#include <optional>

#include "engine/core/session_report.hpp"
#include "engine/core/session_shared.hpp"
#include "engine/session/rtsp_session.hpp"
#include "engine/session/session_teardown.hpp"

namespace kestrune::engine {

// Move-only. Dropping it is shutdown_session_owner.
struct SessionSlot {
  SessionSlot(RtspSession record, std::shared_ptr<SessionShared> shared);
  SessionSlot(SessionSlot&&) noexcept = default;
  SessionSlot& operator=(SessionSlot&&) = delete;
  ~SessionSlot();

  std::optional<RtspSession> session;
  std::shared_ptr<SessionShared> shared;
};

// What a teardown achieved, with the timing responder's counters read from the record.
struct SessionTeardown {
  TeardownEvidence teardown;  // socketCleanup filled in
  TimingTotals timing;
};

// Takes the record out of the slot and ends it: the quick close when `past_deadline`, else FLUSH
// and TEARDOWN within `deadline`; socketCleanup is decided from the outcomes and the record is
// dropped. Nothing is recorded in the session here. An empty slot gives an empty teardown.
SessionTeardown finish_session(SessionSlot& slot, Instant deadline, bool past_deadline);

// The end of a slot's life. Nothing for an empty slot. A record still open is ended as
// finish_session does (the quick close at or after the shutdown deadline, armed now if need be);
// a record already closed only counts as a completed socket clean-up. The evidence is recorded.
void shutdown_session_owner(SessionSlot& slot);

}  // namespace kestrune::engine
