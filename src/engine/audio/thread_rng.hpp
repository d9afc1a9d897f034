#pragma once
// The calling thread's own random generator, seeded once per thread from the operating system's
// random source. Not for keys: for dither noise and the like. It is xoshiro256++ (256 bits of
// state, 64 bits a draw for a few adds, shifts and rotations), so that the noise for a second of
// audio costs little beside the resampler itself. A source that cannot deliver the seed ends the
// thread.

#include <array>
#include <bit>
#include <cstdint>

namespace kestrune::engine {

class ThreadRng {
 public:
  // Any seed but all zeros, which would give zeros for ever.
  explicit ThreadRng(const std::array<std::uint64_t, 4>& seed) : state_(seed) {}

  std::uint64_t next_u64() {
    const std::uint64_t result = std::rotl(state_[0] + state_[3], 23) + state_[0];
    const std::uint64_t shifted = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= shifted;
    state_[3] = std::rotl(state_[3], 45);
    return result;
  }

 private:
  std::array<std::uint64_t, 4> state_;
};

ThreadRng& thread_rng();

}  // namespace kestrune::engine
