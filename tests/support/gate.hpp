#pragma once
// A latch a test opens for a thread that waits on it (a script, a responder); bounded either way.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kestrune::testing {

class Gate {
 public:
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

  // Whether the gate was opened within `limit`.
  bool wait(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

}  // namespace kestrune::testing
