#include "engine/wire/sample_bytes.hpp"

#include <bit>
#include <cassert>
#include <cstring>

namespace kestrune::engine {

namespace {

// Eight samples in one vector register (SSE2, NEON), so the swap runs eight lanes at a time
// whatever the compiler's own vectoriser decides.
using SampleLanes = std::uint16_t __attribute__((vector_size(16)));
constexpr std::size_t kLaneSamples = sizeof(SampleLanes) / sizeof(std::uint16_t);

}  // namespace

std::vector<std::uint8_t> samples_to_be_bytes(std::span<const std::int16_t> samples) {
  std::vector<std::uint8_t> bytes(samples.size() * 2);
  write_samples_be(samples, bytes);
  return bytes;
}

void write_samples_be(std::span<const std::int16_t> samples, std::span<std::uint8_t> out) {
  assert(out.size() == samples.size() * 2);
  const std::size_t bytes = samples.size() * 2;
  if constexpr (std::endian::native == std::endian::big) {
    std::memcpy(out.data(), samples.data(), bytes);
    return;
  }
  std::size_t i = 0;
  // Through memcpy, so neither side need be aligned.
  for (; i + kLaneSamples <= samples.size(); i += kLaneSamples) {
    SampleLanes lanes;
    std::memcpy(&lanes, samples.data() + i, sizeof lanes);
    lanes = (lanes << 8) | (lanes >> 8);
    std::memcpy(out.data() + 2 * i, &lanes, sizeof lanes);
  }
  for (; i < samples.size(); ++i) {
    const auto value = static_cast<std::uint16_t>(samples[i]);
    out[2 * i] = static_cast<std::uint8_t>(value >> 8);
    out[2 * i + 1] = static_cast<std::uint8_t>(value & 0xFF);
  }
}

}  // namespace kestrune::engine
