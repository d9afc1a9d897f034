#pragma once
// Mutex<T> owns the data it guards. A guard that is destroyed while an exception unwinds marks the
// mutex poisoned; the mark is never cleared, and every later guard reports it, so each caller can
// decide whether to use the data anyway or to give up.

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>

namespace kestrune::support {

template <class T>
class Mutex {
 public:
  class Guard {
   public:
    Guard(Guard&&) noexcept = default;
    Guard& operator=(Guard&&) = delete;
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() {
      if (lock_.owns_lock() && std::uncaught_exceptions() > exceptions_at_entry_) {
        owner_->poisoned_ = true;
      }
    }

    // Whether a thread failed while holding this mutex at some time before.
    bool poisoned() const { return was_poisoned_; }

    T& operator*() const { return owner_->value_; }
    T* operator->() const { return &owner_->value_; }

    // Condition-variable waits on the held lock.
    void wait(std::condition_variable& cv) { cv.wait(lock_); }
    template <class Clock, class Duration>
    std::cv_status wait_until(std::condition_variable& cv,
                              std::chrono::time_point<Clock, Duration> deadline) {
      return cv.wait_until(lock_, deadline);
    }
    template <class Rep, class Period>
    std::cv_status wait_for(std::condition_variable& cv, std::chrono::duration<Rep, Period> d) {
      return cv.wait_for(lock_, d);
    }

   private:
    friend class Mutex;
    Guard(Mutex* owner, std::unique_lock<std::mutex> lock)
        : owner_(owner),
          lock_(std::move(lock)),
          exceptions_at_entry_(std::uncaught_exceptions()),
          was_poisoned_(owner->poisoned_) {}

    Mutex* owner_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_at_entry_;
    bool was_poisoned_;
  };

  Mutex() = default;
  explicit Mutex(T value) : value_(std::move(value)) {}
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  Guard lock() { return Guard(this, std::unique_lock<std::mutex>(mutex_)); }

  // The guard, or nothing when another thread holds the lock.
  std::optional<Guard> try_lock() {
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return std::nullopt;
    return Guard(this, std::move(lock));
  }

  bool is_poisoned() {
    std::lock_guard<std::mutex> lock(mutex_);
    return poisoned_;
  }

 private:
  std::mutex mutex_;
  bool poisoned_ = false;  // guarded by mutex_
  T value_;
};

}  // namespace kestrune::support
