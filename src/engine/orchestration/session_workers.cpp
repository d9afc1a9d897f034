#include "engine/orchestration/session_workers.hpp"

#include <algorithm>
#include <utility>

#include "engine/core/session_report_merge.hpp"

namespace kestrune::engine {

namespace {

using Clock = std::chrono::steady_clock;

Instant worker_limit(Instant deadline) {
  return std::min(deadline, Clock::now() + kWorkerStopLimit);
}

// Waits for a worker the runner stops itself: until its own limit, then (counted late) until the
// deadline; then joins it whatever the waits found. Whether it was late.
template <class R>
bool wait_then_join(support::JoinHandle<R>& thread, Instant deadline, support::Result<R>& joined) {
  const bool late = !support::wait_until_finished(thread, worker_limit(deadline));
  if (late) (void)support::wait_until_finished(thread, deadline);
  joined = thread.join();
  return late;
}

// The same for rt-control, whose thread the worker lets go with the join.
bool wait_then_join(support::StoppableWorker<void>& worker, Instant deadline) {
  const bool late = !worker.wait_until(worker_limit(deadline));
  if (late) (void)worker.wait_until(deadline);
  (void)worker.join();  // an abnormal end changes nothing here
  return late;
}

}  // namespace

SessionWorkers::SessionWorkers(support::Sender<OutboundPacket> packets_end,
                               std::shared_ptr<SessionShared> session,
                               std::shared_ptr<std::atomic<bool>> stop_flag)
    : packets(std::move(packets_end)), shared(std::move(session)), control(std::move(stop_flag)) {}

SessionWorkers::~SessionWorkers() { drop_session_workers(*this); }

WorkerStopReport stop_session_workers(SessionWorkers& workers, Instant deadline) {
  WorkerStopReport report;

  if (workers.feedback) {
    FeedbackWorkerHandle& feedback = *workers.feedback;
    if (!stop_feedback_worker(feedback, worker_limit(deadline))) ++report.late_workers;
    report.feedback = feedback.counters->totals();
    report.feedback_failed = feedback.failed->load(std::memory_order_acquire);
    workers.feedback.reset();
  }

  workers.packets.reset();  // "rt-sender" sends what is queued, then ends

  if (workers.sender) {
    support::Result<SessionError> joined = SessionError::success();
    if (wait_then_join(*workers.sender, deadline, joined)) ++report.late_workers;
    report.sender_result =
        joined ? *joined
               : SessionError::of(SessionErrorKind::internal_error, SessionStage::stream_worker);
    workers.sender.reset();
  }

  workers.control.request_stop();
  if (workers.control.has_thread() && wait_then_join(workers.control, deadline)) {
    ++report.late_workers;
  }

  if (report.late_workers > 0 || Clock::now() > deadline) {
    add_forced_shutdown_stages(*workers.shared, report.late_workers);
  }
  record_worker_cleanup(*workers.shared, report.late_workers);
  return report;
}

void drop_session_workers(SessionWorkers& workers) {
  if (!workers.shared) return;  // moved from
  (void)stop_session_workers(workers, shutdown_deadline(*workers.shared));
  workers.shared.reset();
}

}  // namespace kestrune::engine
