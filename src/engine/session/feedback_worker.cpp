#include "engine/session/feedback_worker.hpp"

#include <algorithm>
#include <thread>

#include "platform/stderr_log.hpp"
#include "platform/thread_name.hpp"

namespace kestrune::engine {

namespace {

using Clock = std::chrono::steady_clock;

bool stop_set(const FeedbackWorker& worker) { return worker.stop->load(std::memory_order_acquire); }

// Waits the interval in slices of at most 100 ms; false when the stop flag ends the wait.
bool wait_interval(const FeedbackWorker& worker) {
  const auto start = Clock::now();
  for (;;) {  // bounded by the interval: every turn sleeps or returns
    if (stop_set(worker)) return false;
    const auto elapsed = Clock::now() - start;
    if (elapsed >= worker.interval) return true;
    std::this_thread::sleep_for(
        std::min<Clock::duration>(worker.interval - elapsed, kFeedbackSleepSlice));
  }
}

enum class Round { succeeded, rejected, failed, stopped };

// The POST itself, with the lock held: the status, or the failure of the round (a lock left
// poisoned by a failed thread counts as one, and the connection is then not touched).
support::Result<std::uint16_t> post_locked(const FeedbackWorker& worker,
                                           support::Mutex<RtspConnection>::Guard& connection) {
  if (connection.poisoned()) return support::fail("RTSP lock poisoned");
  connection->set_request_timeout(kFeedbackRequestTimeout);
  auto response = rtsp_exchange(*connection, "POST", worker.base_url + "/feedback",
                                {{"Content-Type", "application/x-apple-binary-plist"}}, {},
                                CancelSource(worker.stop.get()));
  connection->set_request_timeout(kRtspRequestTimeout);
  if (!response) return support::fail(std::move(response).error());
  return response->status;
}

// One round's POST. The lock is only tried, every 5 ms, until it is obtained or the stop flag is
// set; it is let go before the status is judged, and before the exchange's stderr line goes out.
Round post_feedback(const FeedbackWorker& worker) {
  for (;;) {  // ends when the lock is obtained or the stop flag is set
    if (stop_set(worker)) return Round::stopped;
    std::optional<support::Result<std::uint16_t>> status;
    {
      const platform::DeferredStderr deferred;  // ends after the guard
      if (auto connection = worker.connection->try_lock()) {
        status = post_locked(worker, *connection);
      }
    }
    if (status) {
      if (!*status) return Round::failed;  // the error itself is dropped
      return **status >= 200 && **status <= 299 ? Round::succeeded : Round::rejected;
    }
    std::this_thread::sleep_for(kFeedbackLockRetry);
  }
}

}  // namespace

FeedbackTotals FeedbackCounters::totals() const {
  return {attempts.load(std::memory_order_relaxed), succeeded.load(std::memory_order_relaxed),
          rejected.load(std::memory_order_relaxed),
          transport_failures.load(std::memory_order_relaxed)};
}

void run_feedback_worker(FeedbackWorker worker) {
  for (;;) {  // each round waits the interval first; ends on the stop flag or a failed round
    if (stop_set(worker) || !wait_interval(worker)) return;
    worker.counters->attempts.fetch_add(1, std::memory_order_relaxed);
    switch (post_feedback(worker)) {
      case Round::stopped:
        return;
      case Round::succeeded:
        worker.counters->succeeded.fetch_add(1, std::memory_order_relaxed);
        continue;
      case Round::rejected:
        worker.counters->rejected.fetch_add(1, std::memory_order_relaxed);
        post_session_warning(*worker.shared, WarningCode::optional_request_rejected,
                             SessionStage::feedback, true);
        continue;
      case Round::failed:
        if (!stop_set(worker)) {
          worker.counters->transport_failures.fetch_add(1, std::memory_order_relaxed);
          worker.failed->store(true, std::memory_order_release);
        }
        return;
    }
  }
}

support::Result<FeedbackWorkerHandle> spawn_feedback_worker(SharedRtspConnection connection,
                                                            std::string session_url,
                                                            std::shared_ptr<SessionShared> shared,
                                                            std::chrono::milliseconds interval) {
  FeedbackWorkerHandle handle;
  handle.worker = support::StoppableWorker<void>(support::make_stop_flag());
  handle.failed = std::make_shared<std::atomic<bool>>(false);
  handle.counters = std::make_shared<FeedbackCounters>();
  FeedbackWorker worker{
      std::move(session_url), interval,      handle.worker.stop_flag(), handle.counters,
      std::move(connection),  handle.failed, std::move(shared)};
  auto thread = platform::spawn_named("rtsp-feedback", [worker = std::move(worker)]() mutable {
    run_feedback_worker(std::move(worker));
  });
  if (!thread) return support::fail(std::move(thread).error());
  handle.worker.attach(std::move(*thread));
  return handle;
}

bool stop_feedback_worker(FeedbackWorkerHandle& handle, Clock::time_point deadline) {
  return handle.worker.stop_and_join(deadline);
}

}  // namespace kestrune::engine
