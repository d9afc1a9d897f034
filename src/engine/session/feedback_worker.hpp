#pragma once
// The feedback worker "rtsp-feedback": while audio streams it tells the receiver every 2 s that the
// sender is still there, with a POST to the session URL followed by "/feedback" on the shared
// control connection. It never waits for the connection's lock, only tries it every 5 ms, and
// lowers the request timeout to 2 s for its POST (back to 10 s afterwards), so it delays the
// coordinator's requests by at most that. A POST answered outside 2xx is counted and warned about
// (optional_request_rejected at feedback) and the worker goes on; a POST that fails on the
// transport, or a lock left poisoned, raises the failure flag and ends the worker, unless its stop
// flag is set by then. It sees its stop flag within about 100 ms.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/core/session_report.hpp"
#include "engine/core/session_shared.hpp"
#include "engine/session/rtsp_session.hpp"
#include "support/error.hpp"
#include "support/stoppable_worker.hpp"

namespace kestrune::engine {

inline constexpr std::chrono::milliseconds kFeedbackInterval{2'000};
inline constexpr std::chrono::milliseconds kFeedbackRequestTimeout{2'000};
inline constexpr std::chrono::milliseconds kFeedbackSleepSlice{100};
inline constexpr std::chrono::milliseconds kFeedbackLockRetry{5};

// Only ever incremented; read by others at any time.
struct FeedbackCounters {
  std::atomic<std::uint64_t> attempts{0};            // rounds that went on to send
  std::atomic<std::uint64_t> succeeded{0};           // answered 200 to 299
  std::atomic<std::uint64_t> rejected{0};            // answered otherwise
  std::atomic<std::uint64_t> transport_failures{0};  // failed while no stop was requested

  FeedbackTotals totals() const;
};

// The runner's side of the worker. A handle dropped while the thread runs stops and joins it.
struct FeedbackWorkerHandle {
  FeedbackWorkerHandle() = default;
  FeedbackWorkerHandle(FeedbackWorkerHandle&&) noexcept = default;
  FeedbackWorkerHandle& operator=(FeedbackWorkerHandle&&) = delete;

  support::StoppableWorker<void> worker;
  std::shared_ptr<std::atomic<bool>> failed;
  std::shared_ptr<FeedbackCounters> counters;
};

// The thread's own context.
struct FeedbackWorker {
  std::string base_url;
  std::chrono::milliseconds interval = kFeedbackInterval;
  std::shared_ptr<std::atomic<bool>> stop;
  std::shared_ptr<FeedbackCounters> counters;
  SharedRtspConnection connection;
  std::shared_ptr<std::atomic<bool>> failed;
  std::shared_ptr<SessionShared> shared;  // for its warnings
};

// Creates the flags and counters and spawns "rtsp-feedback"; the spawn's error when the thread
// cannot be created. `interval` is 2 s in a session; tests shorten it.
support::Result<FeedbackWorkerHandle> spawn_feedback_worker(
    SharedRtspConnection connection, std::string session_url, std::shared_ptr<SessionShared> shared,
    std::chrono::milliseconds interval = kFeedbackInterval);

// The thread body: rounds of (wait the interval, try the lock, POST) until the stop flag or the
// first failed round.
void run_feedback_worker(FeedbackWorker worker);

// StoppableWorker::stop_and_join on the worker: whether it had ended by `deadline`; it is joined
// either way.
bool stop_feedback_worker(FeedbackWorkerHandle& handle,
                          std::chrono::steady_clock::time_point deadline);

}  // namespace kestrune::engine
