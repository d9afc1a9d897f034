#pragma once
// A worker thread that is told to end through a stop flag it shares with its body. The body reads
// the flag (the shared pointer it was given) often enough to end soon after it is set; the owner
// holds the same flag and the thread's join handle. Stopping sets the flag, waits for the thread
// up to a deadline in 1 ms polls, then joins it whatever the wait found: whether it had finished
// in time is what the callers turn into their shutdown evidence (completed or forced). The join
// itself is not bounded, so a body that ignores its flag keeps the owner waiting until it ends; an
// abnormal end is discarded by the stop. A worker dropped while it holds a thread is stopped with
// a deadline of now: one look, then the join, so no thread outlives its owner. A moved-from worker
// holds neither flag nor thread.

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

#include "support/error.hpp"
#include "support/thread.hpp"

namespace kestrune::support {

inline constexpr std::chrono::milliseconds kWorkerPollInterval{1};

using StopFlag = std::shared_ptr<std::atomic<bool>>;

// A new flag, not set.
inline StopFlag make_stop_flag() { return std::make_shared<std::atomic<bool>>(false); }

// Polls every 1 ms until the thread has finished or the deadline has come; whether it finished.
// A deadline already past looks once.
template <class R>
bool wait_until_finished(const JoinHandle<R>& thread,
                         std::chrono::steady_clock::time_point deadline) {
  while (!thread.is_finished() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kWorkerPollInterval);
  }
  return thread.is_finished();
}

template <class R>
class StoppableWorker {
 public:
  // Neither flag nor thread: stopping it does nothing and is done at once.
  StoppableWorker() = default;
  // The flag alone; the thread comes later (attach), or never.
  explicit StoppableWorker(StopFlag stop) : stop_(std::move(stop)) {}
  StoppableWorker(StopFlag stop, JoinHandle<R> thread)
      : stop_(std::move(stop)), thread_(std::move(thread)) {}

  StoppableWorker(StoppableWorker&& other) noexcept
      : stop_(std::move(other.stop_)), thread_(std::exchange(other.thread_, std::nullopt)) {}
  // Stops this worker's own thread first (as the destructor does), then takes the other's.
  StoppableWorker& operator=(StoppableWorker&& other) noexcept {
    if (this != &other) {
      if (thread_) (void)stop_and_join(std::chrono::steady_clock::now());
      stop_ = std::move(other.stop_);
      thread_ = std::exchange(other.thread_, std::nullopt);
    }
    return *this;
  }
  StoppableWorker(const StoppableWorker&) = delete;
  StoppableWorker& operator=(const StoppableWorker&) = delete;
  ~StoppableWorker() {
    if (thread_) (void)stop_and_join(std::chrono::steady_clock::now());
  }

  // Hands the worker its thread; one it held before is let run on unjoined, so attach only to a
  // worker without one.
  void attach(JoinHandle<R> thread) { thread_.emplace(std::move(thread)); }

  // The shared flag (empty for a worker made without one), for the body and for onlookers.
  const StopFlag& stop_flag() const { return stop_; }

  // Sets the flag; never waits.
  void request_stop() {
    if (stop_) stop_->store(true, std::memory_order_release);
  }

  // Whether a thread is held (started and not yet joined).
  bool has_thread() const { return thread_.has_value(); }

  // Whether the thread has ended (true without one); never waits.
  bool finished() const { return !thread_ || thread_->is_finished(); }

  // wait_until_finished on the thread; true without one. Does not set the flag.
  bool wait_until(std::chrono::steady_clock::time_point deadline) const {
    return !thread_ || wait_until_finished(*thread_, deadline);
  }

  // Joins the thread and lets the handle go: its value, or the error of an abnormal end (or of
  // a worker that holds no thread).
  Result<R> join() {
    if (!thread_) return fail("join a worker that holds no thread");
    Result<R> joined = thread_->join();
    thread_.reset();
    return joined;
  }

  // Sets the flag; without a thread returns true at once. Otherwise waits as wait_until, joins
  // the thread (discarding an abnormal end) and lets the handle go. Whether it had finished by
  // the deadline.
  bool stop_and_join(std::chrono::steady_clock::time_point deadline) {
    request_stop();
    if (!thread_) return true;
    const bool in_time = wait_until(deadline);
    (void)join();
    return in_time;
  }

 private:
  StopFlag stop_;
  std::optional<JoinHandle<R>> thread_;
};

}  // namespace kestrune::support
