#pragma once
// Audio payload bytes: each signed 16-bit sample big-endian, in order (left, right, left, ...).

#include <cstdint>
#include <span>
#include <vector>

namespace kestrune::engine {

// Twice as many bytes as samples.
std::vector<std::uint8_t> samples_to_be_bytes(std::span<const std::int16_t> samples);

// The same into `out`, which holds exactly 2 * samples.size() bytes.
void write_samples_be(std::span<const std::int16_t> samples, std::span<std::uint8_t> out);

}  // namespace kestrune::engine
