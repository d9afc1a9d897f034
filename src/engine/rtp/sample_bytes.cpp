#include "engine/rtp/sample_bytes.hpp"

#include <cassert>

namespace kestrune::engine {

std::vector<std::uint8_t> samples_to_be_bytes(std::span<const std::int16_t> samples) {
  std::vector<std::uint8_t> bytes(samples.size() * 2);
  write_samples_be(samples, bytes);
  return bytes;
}

void write_samples_be(std::span<const std::int16_t> samples, std::span<std::uint8_t> out) {
  assert(out.size() == samples.size() * 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const auto value = static_cast<std::uint16_t>(samples[i]);
    out[2 * i] = static_cast<std::uint8_t>(value >> 8);
    out[2 * i + 1] = static_cast<std::uint8_t>(value & 0xFF);
  }
}

}  // namespace kestrune::engine
