#pragma once
// The capture callbacks, run by the audio library on its capture thread one buffer at a time.
// A data callback converts the buffer's whole frames to stereo signed 16-bit (a mono device gives
// left = right, channels past the second are ignored), adds its statistics to the shared counters
// (one atomic update per counter), and cuts chunks of 2048 samples for the capture queue. It never
// blocks: a full queue drops the chunk at hand and every pending sample (counted), a closed queue
// discards them silently.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "engine/capture/capture_chunk.hpp"
#include "engine/capture/capture_stats.hpp"
#include "support/channel.hpp"
#include "support/error.hpp"

namespace kestrune::engine {

using CaptureInstant = std::chrono::steady_clock::time_point;

struct CaptureCallbackState {
  CaptureCallbackState(support::Sender<CaptureChunk> queue, std::shared_ptr<CaptureStats> stats,
                       std::uint16_t channels, std::uint32_t sample_rate);

  support::Sender<CaptureChunk> queue;
  std::vector<std::int16_t> pending;  // interleaved stereo not yet cut into a chunk
  std::optional<CaptureInstant> previous_callback;
  std::shared_ptr<CaptureStats> stats;
  std::uint16_t device_channels;
  std::uint32_t sample_rate;
};

// One device sample as signed 16-bit. Unsigned: x - 32768. Float: clamped to [-1, 1], times
// 32767, rounded half away from zero; NaN gives 0.
std::int16_t capture_sample(std::int16_t sample);
std::int16_t capture_sample(std::uint16_t sample);
std::int16_t capture_sample(float sample);

// The data callbacks; `now` is the callback's reading of the monotonic clock.
void capture_buffer(CaptureCallbackState& state, std::span<const std::int16_t> samples,
                    CaptureInstant now);
void capture_buffer(CaptureCallbackState& state, std::span<const std::uint16_t> samples,
                    CaptureInstant now);
void capture_buffer(CaptureCallbackState& state, std::span<const float> samples,
                    CaptureInstant now);

// The same, reading the clock themselves: what the library calls.
void capture_i16_callback(CaptureCallbackState& state, std::span<const std::int16_t> samples);
void capture_u16_callback(CaptureCallbackState& state, std::span<const std::uint16_t> samples);
void capture_f32_callback(CaptureCallbackState& state, std::span<const float> samples);

// Counts the error; the library's error itself is dropped and nothing is printed.
void capture_error_callback(CaptureStats& stats, const support::Error& error);

}  // namespace kestrune::engine
