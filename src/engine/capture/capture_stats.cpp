#include "engine/capture/capture_stats.hpp"

#include <cmath>
#include <limits>

namespace kestrune::engine {

double capture_rms(std::uint64_t sum_of_squares, std::uint64_t samples) {
  if (samples == 0) return 0.0;
  return std::sqrt(static_cast<double>(sum_of_squares) / static_cast<double>(samples));
}

CaptureTotals capture_totals(const CaptureStats& stats) {
  constexpr auto relaxed = std::memory_order_relaxed;
  CaptureTotals totals;
  totals.callbacks = stats.callbacks.load(relaxed);
  totals.chunks = stats.chunks.load(relaxed);
  totals.frames = stats.frames.load(relaxed);
  totals.queueDrops = stats.queue_drops.load(relaxed);
  totals.callbackErrors = stats.callback_errors.load(relaxed);
  totals.rms = capture_rms(stats.sum_of_squares.load(relaxed), stats.samples.load(relaxed));
  totals.peak = stats.peak.load(relaxed);
  return totals;
}

void raise_counter(std::atomic<std::uint64_t>& counter, std::uint64_t value) {
  std::uint64_t seen = counter.load(std::memory_order_relaxed);
  while (seen < value && !counter.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

void add_saturating(std::atomic<std::uint64_t>& counter, std::uint64_t value) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t seen = counter.load(std::memory_order_relaxed);
  std::uint64_t next = 0;
  do {
    next = value > kMax - seen ? kMax : seen + value;
  } while (next != seen && !counter.compare_exchange_weak(seen, next, std::memory_order_relaxed));
}

}  // namespace kestrune::engine
