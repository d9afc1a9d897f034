#include "shell/output_queue.hpp"

#include <utility>

namespace kestrune::shell {

bool push_output_batch(OutputQueue& queue, std::vector<nlohmann::json> values, bool clear_latest) {
  std::optional<nlohmann::json> dropped_latest;  // destroyed after the lock is released
  {
    auto state = queue.state_.lock();
    if (state->finished) return false;
    for (;;) {
      if (state->closed) return false;
      const std::size_t waiting = state->fifo.size();
      // Added without wrapping: a batch larger than the capacity never fits.
      if (values.size() <= kOutputCapacity && waiting <= kOutputCapacity - values.size()) {
        if (clear_latest) dropped_latest = std::exchange(state->latest, std::nullopt);
        for (auto& value : values) state->fifo.push_back(std::move(value));
        queue.changed_.notify_all();
        return true;
      }
      state.wait(queue.changed_);
      if (state->finished) return false;
    }
  }
}

bool push_output(OutputQueue& queue, nlohmann::json value) {
  std::vector<nlohmann::json> one;
  one.push_back(std::move(value));
  return push_output_batch(queue, std::move(one), false);
}

bool replace_latest_output(OutputQueue& queue, nlohmann::json value) {
  std::optional<nlohmann::json> previous;
  {
    auto state = queue.state_.lock();
    if (state->finished || state->closed) return false;
    previous = std::exchange(state->latest, std::move(value));
    queue.changed_.notify_all();
  }
  return true;
}

std::optional<nlohmann::json> pop_output(OutputQueue& queue) {
  auto state = queue.state_.lock();
  for (;;) {
    if (!state->fifo.empty()) {
      nlohmann::json value = std::move(state->fifo.front());
      state->fifo.pop_front();
      queue.changed_.notify_all();  // room has been freed
      return value;
    }
    if (state->latest.has_value()) return std::exchange(state->latest, std::nullopt);
    if (state->finished || state->closed) return std::nullopt;
    state.wait(queue.changed_);
  }
}

void close_output(OutputQueue& queue) {
  std::deque<nlohmann::json> dropped;
  std::optional<nlohmann::json> dropped_latest;
  {
    auto state = queue.state_.lock();
    state->closed = true;
    dropped.swap(state->fifo);
    dropped_latest = std::exchange(state->latest, std::nullopt);
    queue.changed_.notify_all();
  }
}

void finish_output(OutputQueue& queue) {
  auto state = queue.state_.lock();
  state->finished = true;
  queue.changed_.notify_all();
}

bool output_closed(OutputQueue& queue) { return queue.state_.lock()->closed; }

}  // namespace kestrune::shell
