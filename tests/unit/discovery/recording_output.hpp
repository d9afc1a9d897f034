#pragma once
// A discovery output that keeps every event it accepts, for tests: it can refuse pushes after a
// number of them or report the output closed. Safe to read from the test thread while the owner
// thread pushes.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "discovery/discovery_output.hpp"

namespace kestrune::testing {

class RecordingOutput final : public discovery::DiscoveryOutput {
 public:
  struct Event {
    std::string name;
    nlohmann::json payload;
  };

  bool push_event(std::string_view name, nlohmann::json payload) override {
    std::lock_guard lock(mutex_);
    ++push_attempts_;
    if (closed_ || (accept_limit_ && events_.size() >= *accept_limit_)) return false;
    events_.push_back({std::string(name), std::move(payload)});
    changed_.notify_all();
    return true;
  }
  bool output_closed() override {
    std::lock_guard lock(mutex_);
    ++closed_checks_;
    return closed_;
  }

  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  // Pushes are refused once `count` events in all have been accepted.
  void accept_at_most(std::size_t count) {
    std::lock_guard lock(mutex_);
    accept_limit_ = count;
  }

  std::vector<Event> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  // Each event as "deviceDiscovered <id>" or "deviceExpired <id> <reason>".
  std::vector<std::string> summary() const {
    std::vector<std::string> lines;
    for (const Event& event : events()) {
      if (event.name == "deviceExpired") {
        lines.push_back(event.name + " " + event.payload.at("id").get<std::string>() + " " +
                        event.payload.at("reason").get<std::string>());
      } else {
        lines.push_back(event.name + " " + event.payload.at("device").at("id").get<std::string>());
      }
    }
    return lines;
  }
  std::size_t push_attempts() const {
    std::lock_guard lock(mutex_);
    return push_attempts_;
  }
  std::size_t closed_checks() const {
    std::lock_guard lock(mutex_);
    return closed_checks_;
  }
  // Waits (bounded) until at least `count` events were accepted.
  bool wait_for_events(std::size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return events_.size() >= count; });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Event> events_;
  std::optional<std::size_t> accept_limit_;
  bool closed_ = false;
  std::size_t push_attempts_ = 0;
  std::size_t closed_checks_ = 0;
};

}  // namespace kestrune::testing
