#pragma once
// What loopback capture hands to the coordinator: 1024 stereo frames at the device's rate, through
// a queue of at most 256 chunks. A chunk that finds the queue full is dropped, never waited for.

#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrune::engine {

inline constexpr std::size_t kCaptureChunkSamples = 2048;  // interleaved left, right
inline constexpr std::size_t kCaptureQueueChunks = 256;

struct CaptureChunk {
  std::array<std::int16_t, kCaptureChunkSamples> samples{};
  std::uint32_t sample_rate = 0;  // the device's rate
  std::uint8_t channels = 2;      // always 2
};

}  // namespace kestrune::engine
