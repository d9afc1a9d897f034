#pragma once
// Network byte order for the RTP, sync, timing and retransmission formats.

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrune::engine {

inline void put_be16(std::span<std::uint8_t> out, std::size_t offset, std::uint16_t value) {
  out[offset] = static_cast<std::uint8_t>(value >> 8);
  out[offset + 1] = static_cast<std::uint8_t>(value);
}

inline void put_be32(std::span<std::uint8_t> out, std::size_t offset, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) {
    out[offset + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
  }
}

inline void put_be64(std::span<std::uint8_t> out, std::size_t offset, std::uint64_t value) {
  for (std::size_t i = 0; i < 8; ++i) {
    out[offset + i] = static_cast<std::uint8_t>(value >> (56 - 8 * i));
  }
}

inline std::uint16_t get_be16(std::span<const std::uint8_t> in, std::size_t offset) {
  return static_cast<std::uint16_t>((in[offset] << 8) | in[offset + 1]);
}

inline std::uint64_t get_be64(std::span<const std::uint8_t> in, std::size_t offset) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 8; ++i) value = (value << 8) | in[offset + i];
  return value;
}

}  // namespace kestrune::engine
