#pragma once
// Loopback capture's counters, shared between the capture callbacks (which only add to them or
// raise them, once per callback) and the coordinator (which reads each on its own, without a
// lock). A sample's magnitude is its absolute value as an unsigned 16-bit number, so -32768 counts
// as 32768.

#include <atomic>
#include <cstdint>

#include "engine/capture/capture_totals.hpp"

namespace kestrune::engine {

struct CaptureStats {
  std::atomic<std::uint64_t> callbacks{0};            // data callbacks received
  std::atomic<std::uint64_t> chunks{0};               // 2048-sample chunks formed, sent or dropped
  std::atomic<std::uint64_t> frames{0};               // frames converted
  std::atomic<std::uint64_t> queue_drops{0};          // chunks dropped on a full queue
  std::atomic<std::uint64_t> callback_errors{0};      // error callbacks received
  std::atomic<std::uint64_t> samples{0};              // samples converted, two per frame
  std::atomic<std::uint64_t> sum_of_squares{0};       // of every converted sample's magnitude
  std::atomic<std::uint64_t> peak{0};                 // the largest magnitude, 0 to 32768
  std::atomic<std::uint64_t> max_callback_gap_us{0};  // longest time between two data callbacks
};

// sqrt(sum_of_squares / samples); 0 without samples.
double capture_rms(std::uint64_t sum_of_squares, std::uint64_t samples);

// The counters as the session report takes them, rms derived.
CaptureTotals capture_totals(const CaptureStats& stats);

// Raises `counter` to `value` if that is larger.
void raise_counter(std::atomic<std::uint64_t>& counter, std::uint64_t value);
// Adds, stopping at the largest value rather than wrapping.
void add_saturating(std::atomic<std::uint64_t>& counter, std::uint64_t value);

}  // namespace kestrune::engine
