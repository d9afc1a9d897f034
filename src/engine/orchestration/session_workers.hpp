#pragma once
// The running worker set of a session: the packet channel's sending end, "rt-sender",
// "rt-control" with its stop flag, and the feedback worker. They are stopped in a fixed order,
// each within the session's shutdown deadline: the feedback worker first (before a teardown
// request needs the control connection), then the packet channel is closed and "rt-sender" sends
// what is still queued, then "rt-control". A worker given min(deadline, now + 1 s) that has not
// ended by then counts as late; it is waited for until the deadline and joined anyway.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "engine/core/session_error.hpp"
#include "engine/core/session_report.hpp"
#include "engine/core/session_shared.hpp"
#include "engine/orchestration/outbound_packet.hpp"
#include "engine/session/feedback_worker.hpp"
#include "support/channel.hpp"
#include "support/stoppable_worker.hpp"
#include "support/thread.hpp"

namespace kestrune::engine {

inline constexpr std::chrono::seconds kWorkerStopLimit{1};

// Move-only. Dropping it is drop_session_workers.
struct SessionWorkers {
  SessionWorkers(support::Sender<OutboundPacket> packets, std::shared_ptr<SessionShared> shared,
                 std::shared_ptr<std::atomic<bool>> control_stop);
  SessionWorkers(SessionWorkers&&) noexcept = default;
  SessionWorkers& operator=(SessionWorkers&&) = delete;
  ~SessionWorkers();

  std::optional<support::Sender<OutboundPacket>> packets;  // taken out when the channel closes
  std::shared_ptr<SessionShared> shared;
  std::optional<support::JoinHandle<SessionError>> sender;
  // rt-control: its stop flag from the start, its thread once started.
  support::StoppableWorker<void> control;
  std::optional<FeedbackWorkerHandle> feedback;
};

struct WorkerStopReport {
  FeedbackTotals feedback;  // zero without a feedback worker
  bool feedback_failed = false;
  // "rt-sender"'s result: success when it ended normally or never ran; internal_error at
  // stream_worker when it ended abnormally.
  SessionError sender_result;
  std::uint32_t late_workers = 0;
};

// Stops and joins every worker still in the set (see the header comment). Then, when a worker was
// late or the deadline has passed, adds max(late, 1) forced shutdown stages, and records the
// worker cleanup (forced when a worker was late).
WorkerStopReport stop_session_workers(SessionWorkers& workers, Instant deadline);

// The end of a worker set's life: stop_session_workers with the shutdown deadline (armed now if
// need be), its report discarded. A set already stopped only sets the rt-control stop flag again,
// and adds one forced stage when the deadline has passed by then.
void drop_session_workers(SessionWorkers& workers);

}  // namespace kestrune::engine
