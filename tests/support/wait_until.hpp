#pragma once
// Waiting in a test for what another thread or process does: poll a condition within a bound.

#include <chrono>
#include <thread>

namespace kestrune::testing {

// Polls `condition` every millisecond until it holds or `bound` has passed; returns whether it
// held. The bound is a ceiling for a loaded machine under sanitizers, not an expected time: a
// condition that holds ends the wait at once.
template <class Condition>
[[nodiscard]] bool wait_until(Condition&& condition, std::chrono::steady_clock::duration bound) {
  const auto give_up = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace kestrune::testing
