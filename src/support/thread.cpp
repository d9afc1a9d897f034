#include "support/thread.hpp"

#include <atomic>
#include <mutex>

#include "support/thread_testing.hpp"

namespace kestrune::support {

namespace {

// Set while a name is injected, so that a spawn looks at the name (under the mutex) only then.
std::atomic<bool> failure_injected{false};
std::mutex injected_failure_mutex;
std::string injected_failure_name;  // guarded by injected_failure_mutex

}  // namespace

void end_thread(std::string message) { throw ThreadEnded(std::move(message)); }

void inject_spawn_failure_for_testing(std::string name) {
  std::lock_guard<std::mutex> lock(injected_failure_mutex);
  failure_injected.store(!name.empty(), std::memory_order_release);
  injected_failure_name = std::move(name);
}

namespace detail {

void report_abnormal_end(ThreadLineWriter write_line, std::string_view thread_name,
                         std::string_view message) {
  if (write_line == nullptr) return;
  std::string line = "error[thread]: ";
  line += thread_name;
  line += " ended: ";
  line += message;
  write_line(line);
}

bool spawn_failure_injected(std::string_view name) {
  if (!failure_injected.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> lock(injected_failure_mutex);
  return !injected_failure_name.empty() && injected_failure_name == name;
}

}  // namespace detail

}  // namespace kestrune::support
