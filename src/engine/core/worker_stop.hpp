#pragma once
// Ending a worker thread: set its stop flag, wait for it up to a deadline in 1 ms polls, then join
// it whatever the wait found. Whether it had finished in time is what the callers turn into their
// shutdown evidence (completed or forced). The join itself is not bounded: a worker that ignores
// its flag keeps the caller waiting until it ends.

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "support/thread.hpp"

namespace kestrune::engine {

inline constexpr std::chrono::milliseconds kWorkerPollInterval{1};

// Polls every 1 ms until the thread has finished or the deadline has come; whether it finished.
// A deadline already past looks once.
template <class R>
bool wait_worker_until(const support::JoinHandle<R>& worker,
                       std::chrono::steady_clock::time_point deadline) {
  while (!worker.is_finished() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kWorkerPollInterval);
  }
  return worker.is_finished();
}

// Sets `stop_flag`; without a thread returns true at once. Otherwise waits as above, joins the
// thread (discarding an abnormal end) and consumes the handle. Returns whether it had finished by
// the deadline.
template <class R>
bool stop_worker_until(std::atomic<bool>& stop_flag, std::optional<support::JoinHandle<R>>& worker,
                       std::chrono::steady_clock::time_point deadline) {
  stop_flag.store(true, std::memory_order_release);
  if (!worker) return true;
  const bool finished = wait_worker_until(*worker, deadline);
  (void)worker->join();
  worker.reset();
  return finished;
}

}  // namespace kestrune::engine
