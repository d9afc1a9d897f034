#pragma once
// The one path to standard output. Producers push JSON values; the writer thread takes them out
// one at a time. At most kOutputCapacity values wait in the FIFO (a producer waits for room, a
// batch goes in whole or not at all); one latest-value slot holds the newest metrics value and is
// written only when the FIFO is empty. Two end flags, never cleared: finished (the main thread at
// shutdown: nothing new is admitted, the writer drains) and closed (the writer after a failed
// write: everything waiting is dropped). A refused value is dropped; the caller sees false.
// Shared through std::shared_ptr among the main thread, the writer, discovery and event pumps.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/mutex.hpp"

namespace kestrune::shell {

inline constexpr std::size_t kOutputCapacity = 256;

class OutputQueue {
 public:
  OutputQueue() = default;
  OutputQueue(const OutputQueue&) = delete;
  OutputQueue& operator=(const OutputQueue&) = delete;

  // Appends all values in order, or none. Waits while they do not fit; refused once finished or
  // closed. With clear_latest, an unwritten latest value is dropped before the values go in.
  bool push_batch(std::vector<nlohmann::json> values, bool clear_latest);

  // push_batch with one value, leaving the latest-value slot alone.
  bool push(nlohmann::json value);

  // Replaces the latest-value slot; never waits. Refused once finished or closed.
  bool replace_latest(nlohmann::json value);

  // The writer's take: the FIFO's front, else the slot's value; waits while both are empty and
  // neither flag is set; none once empty and finished or closed.
  std::optional<nlohmann::json> pop();

  // The writer only: marks the output closed and drops everything waiting.
  void close();

  // The main thread only, at shutdown: no more values are admitted.
  void finish();

  bool closed();

 private:
  struct State {
    std::deque<nlohmann::json> fifo;
    std::optional<nlohmann::json> latest;
    bool finished = false;
    bool closed = false;
  };

  // A poisoned mark is ignored throughout: the data is used as it is found.
  support::Mutex<State> state_;
  std::condition_variable changed_;  // every change that can release a waiter notifies all
};

}  // namespace kestrune::shell
