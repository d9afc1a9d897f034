#pragma once
// Named threads whose end is a value. The body runs inside a wrapper that catches a
// support::ThreadEnded (thrown by end_thread) or any other escaping exception, writes one stderr
// line naming the thread and the message, and marks the thread as ended abnormally; join() then
// reports that instead of a value. The full name is kept for messages; the new thread first hands
// it to the given namer, which sets its name in the OS. The program spawns through
// platform::spawn_named (platform/thread_name.hpp), which passes the OS's namer: support itself
// makes no system call for it.

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>

#include "support/error.hpp"

namespace kestrune::support {

// Thrown by end_thread; caught only by the thread wrapper.
class ThreadEnded : public std::exception {
 public:
  explicit ThreadEnded(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Ends the calling thread with `message` (a poisoned lock, say). Only for threads started by
// spawn_thread (platform::spawn_named).
[[noreturn]] void end_thread(std::string message);

namespace detail {

template <class R>
using Stored = std::conditional_t<std::is_void_v<R>, std::monostate, R>;

template <class R>
struct ThreadRecord {
  std::string name;
  std::optional<Stored<R>> value;
  std::string abnormal_message;
  std::atomic<bool> finished{false};
};

void report_abnormal_end(std::string_view thread_name, std::string_view message);
// Whether a spawn of `name` is to fail as if the OS had refused the thread (thread_testing.hpp);
// one atomic load while no failure is injected.
bool spawn_failure_injected(std::string_view name);

}  // namespace detail

// Sets the calling thread's name in the OS.
using ThreadNamer = void (*)(std::string_view name);

template <class R>
class JoinHandle {
 public:
  JoinHandle(JoinHandle&&) noexcept = default;
  JoinHandle& operator=(JoinHandle&& other) noexcept {
    if (this != &other) {
      release();
      thread_ = std::move(other.thread_);
      record_ = std::move(other.record_);
    }
    return *this;
  }
  JoinHandle(const JoinHandle&) = delete;
  JoinHandle& operator=(const JoinHandle&) = delete;
  // A handle dropped without joining lets the thread run on (detached).
  ~JoinHandle() { release(); }

  const std::string& name() const { return record_->name; }

  // Whether the body has returned or ended; never waits.
  bool is_finished() const { return record_->finished.load(std::memory_order_acquire); }

  // Waits for the thread; its value, or an error when it ended abnormally.
  Result<R> join() {
    if (thread_.joinable()) thread_.join();
    if (!record_->value.has_value()) {
      return fail("thread " + record_->name + " ended abnormally: " + record_->abnormal_message);
    }
    if constexpr (std::is_void_v<R>) {
      return {};
    } else {
      return std::move(*record_->value);
    }
  }

  // Lets the thread run on without joining it.
  void release() {
    if (thread_.joinable()) thread_.detach();
  }

 private:
  template <class F>
  friend auto spawn_thread(std::string name, ThreadNamer name_thread, F body)
      -> Result<JoinHandle<std::invoke_result_t<F>>>;
  JoinHandle(std::thread thread, std::shared_ptr<detail::ThreadRecord<R>> record)
      : thread_(std::move(thread)), record_(std::move(record)) {}

  std::thread thread_;
  std::shared_ptr<detail::ThreadRecord<R>> record_;
};

// Starts `body` on a new thread that first calls `name_thread` (when given) with `name`; the
// spawn's error when the thread cannot be created.
template <class F>
auto spawn_thread(std::string name, ThreadNamer name_thread, F body)
    -> Result<JoinHandle<std::invoke_result_t<F>>> {
  using R = std::invoke_result_t<F>;
  if (detail::spawn_failure_injected(name)) {
    return fail("spawn thread " + name + ": refused by test hook");
  }
  auto record = std::make_shared<detail::ThreadRecord<R>>();
  record->name = std::move(name);
  auto run = [record, name_thread, body = std::move(body)]() mutable {
    if (name_thread != nullptr) name_thread(record->name);
    try {
      if constexpr (std::is_void_v<R>) {
        body();
        record->value.emplace();
      } else {
        record->value.emplace(body());
      }
    } catch (const std::exception& error) {
      record->abnormal_message = error.what();
      detail::report_abnormal_end(record->name, record->abnormal_message);
    } catch (...) {
      record->abnormal_message = "unknown exception";
      detail::report_abnormal_end(record->name, record->abnormal_message);
    }
    record->finished.store(true, std::memory_order_release);
  };
  try {
    std::thread thread(std::move(run));
    return JoinHandle<R>(std::move(thread), std::move(record));
  } catch (const std::system_error& error) {
    return fail("spawn thread " + record->name + ": " + error.what());
  }
}

}  // namespace kestrune::support
