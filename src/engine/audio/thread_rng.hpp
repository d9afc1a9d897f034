#pragma once
// The calling thread's own random generator (32-bit Mersenne Twister), seeded once per thread from
// the operating system's random source. Not for keys: for dither noise and the like. A source
// that cannot deliver the seed ends the thread.

#include <cstdint>
#include <random>

namespace kestrune::engine {

std::mt19937& thread_rng();

// The generator's next value, which always fits 32 bits.
inline std::uint32_t next_u32(std::mt19937& generator) {
  return static_cast<std::uint32_t>(generator());
}

}  // namespace kestrune::engine
