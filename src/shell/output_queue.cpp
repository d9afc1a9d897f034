#include "shell/output_queue.hpp"

#include <utility>

namespace kestrune::shell {

bool OutputQueue::push_batch(std::vector<nlohmann::json> values, bool clear_latest) {
  std::optional<nlohmann::json> dropped_latest;  // destroyed after the lock is released
  {
    auto state = state_.lock();
    if (state->finished) return false;
    for (;;) {
      if (state->closed) return false;
      const std::size_t waiting = state->fifo.size();
      // Added without wrapping: a batch larger than the capacity never fits.
      if (values.size() <= kOutputCapacity && waiting <= kOutputCapacity - values.size()) {
        if (clear_latest) dropped_latest = std::exchange(state->latest, std::nullopt);
        for (auto& value : values) state->fifo.push_back(std::move(value));
        changed_.notify_all();
        return true;
      }
      state.wait(changed_);
      if (state->finished) return false;
    }
  }
}

bool OutputQueue::push(nlohmann::json value) {
  std::vector<nlohmann::json> one;
  one.push_back(std::move(value));
  return push_batch(std::move(one), false);
}

bool OutputQueue::replace_latest(nlohmann::json value) {
  std::optional<nlohmann::json> previous;
  {
    auto state = state_.lock();
    if (state->finished || state->closed) return false;
    previous = std::exchange(state->latest, std::move(value));
    changed_.notify_all();
  }
  return true;
}

std::optional<nlohmann::json> OutputQueue::pop() {
  auto state = state_.lock();
  for (;;) {
    if (!state->fifo.empty()) {
      nlohmann::json value = std::move(state->fifo.front());
      state->fifo.pop_front();
      changed_.notify_all();  // room has been freed
      return value;
    }
    if (state->latest.has_value()) return std::exchange(state->latest, std::nullopt);
    if (state->finished || state->closed) return std::nullopt;
    state.wait(changed_);
  }
}

void OutputQueue::close() {
  std::deque<nlohmann::json> dropped;
  std::optional<nlohmann::json> dropped_latest;
  {
    auto state = state_.lock();
    state->closed = true;
    dropped.swap(state->fifo);
    dropped_latest = std::exchange(state->latest, std::nullopt);
    changed_.notify_all();
  }
}

void OutputQueue::finish() {
  auto state = state_.lock();
  state->finished = true;
  changed_.notify_all();
}

bool OutputQueue::closed() { return state_.lock()->closed; }

}  // namespace kestrune::shell
