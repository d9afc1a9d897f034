#pragma once
// Named threads whose end is a value. The body runs inside a wrapper that catches a
// support::ThreadEnded (thrown by end_thread) or any other escaping exception, hands one line
// naming the thread and the message to the environment's line writer, and marks the thread as
// ended abnormally; join() then reports that instead of a value. Last, the thread calls the
// environment's end hook. The full name is kept for
// messages; the new thread first hands it to the environment's namer, which sets its name in the
// OS. The program spawns through platform::spawn_named (platform/thread_name.hpp), which passes
// the OS's namer and the standard error log: support itself makes no system call and writes no
// stream.

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

// Sets the calling thread's name in the OS.
using ThreadNamer = void (*)(std::string_view name);
// Writes one diagnostic line (without its line feed).
using ThreadLineWriter = void (*)(std::string_view line);
// Runs on the thread after everything else it does.
using ThreadEndHook = void (*)();

// What a spawned thread takes from the layer that knows the OS; a member left empty is skipped.
struct ThreadEnvironment {
  ThreadNamer name_thread = nullptr;      // called first on the new thread, with the full name
  ThreadLineWriter write_line = nullptr;  // given the line of an abnormal end
  ThreadEndHook at_end = nullptr;         // called last, after the body and that line
};

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

// Hands "error[thread]: <thread_name> ended: <message>" to `write_line`, when there is one.
void report_abnormal_end(ThreadLineWriter write_line, std::string_view thread_name,
                         std::string_view message);
// Whether a spawn of `name` is to fail as if the OS had refused the thread; one atomic load while
// no failure is injected.
bool spawn_failure_injected(std::string_view name);

}  // namespace detail

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
  friend auto spawn_thread(std::string name, ThreadEnvironment environment, F body)
      -> Result<JoinHandle<std::invoke_result_t<F>>>;
  JoinHandle(std::thread thread, std::shared_ptr<detail::ThreadRecord<R>> record)
      : thread_(std::move(thread)), record_(std::move(record)) {}

  std::thread thread_;
  std::shared_ptr<detail::ThreadRecord<R>> record_;
};

// Starts `body` on a new thread that first calls the environment's namer (when given) with
// `name`; the spawn's error when the thread cannot be created.
template <class F>
auto spawn_thread(std::string name, ThreadEnvironment environment, F body)
    -> Result<JoinHandle<std::invoke_result_t<F>>> {
  using R = std::invoke_result_t<F>;
  if (detail::spawn_failure_injected(name)) {
    return fail("spawn thread " + name + ": refused (injected failure)");
  }
  auto record = std::make_shared<detail::ThreadRecord<R>>();
  record->name = std::move(name);
  auto run = [record, environment, body = std::move(body)]() mutable {
    if (environment.name_thread != nullptr) environment.name_thread(record->name);
    try {
      if constexpr (std::is_void_v<R>) {
        body();
        record->value.emplace();
      } else {
        record->value.emplace(body());
      }
    } catch (const std::exception& error) {
      record->abnormal_message = error.what();
      detail::report_abnormal_end(environment.write_line, record->name, record->abnormal_message);
    } catch (...) {
      record->abnormal_message = "unknown exception";
      detail::report_abnormal_end(environment.write_line, record->name, record->abnormal_message);
    }
    if (environment.at_end != nullptr) environment.at_end();
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
