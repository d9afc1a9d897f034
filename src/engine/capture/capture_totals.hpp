#pragma once
// What loopback capture has counted so far, as one plain value: what the capture counters are read
// into and what the session report takes its capture metrics from.

#include <cstdint>

namespace kestrune::engine {

// Loopback capture's running totals; peak is the largest absolute sample seen.
struct CaptureTotals {
  std::uint64_t callbacks = 0;
  std::uint64_t chunks = 0;
  std::uint64_t frames = 0;
  std::uint64_t queueDrops = 0;
  std::uint64_t callbackErrors = 0;
  double rms = 0.0;
  std::uint64_t peak = 0;
};

}  // namespace kestrune::engine
