#pragma once
// Requantising resampled audio to 16 bits with triangular (TPDF) dither: the difference of two
// uniform values, one 16-bit step wide, spreads the rounding error over (-1, 1) steps so quiet
// passages do not turn into correlated distortion. Inline: the resampler calls both for every
// sample.

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "engine/audio/thread_rng.hpp"

namespace kestrune::engine {

// ((u1 >> 8) - (u2 >> 8)) * 2^-24 * 2^-15: triangular over (-2^-15, 2^-15), from two successive
// 32-bit values of the generator. The difference is below 2^24 either way, so the float is exact.
inline float tpdf_dither(std::uint32_t u1, std::uint32_t u2) {
  const std::int32_t difference =
      static_cast<std::int32_t>(u1 >> 8) - static_cast<std::int32_t>(u2 >> 8);
  return static_cast<float>(difference) * 0x1p-39f;
}

// The same from one 64-bit draw, whose low half is u1 and high half u2.
inline float tpdf_dither_from(std::uint64_t draw) {
  return tpdf_dither(static_cast<std::uint32_t>(draw), static_cast<std::uint32_t>(draw >> 32));
}

struct StereoDither {
  float left;
  float right;
};

// One frame's dither: two draws, one for each channel.
inline StereoDither next_stereo_dither(ThreadRng& rng) {
  const float left = tpdf_dither_from(rng.next_u64());
  return {left, tpdf_dither_from(rng.next_u64())};
}

// (y + dither) clamped to [-1, 1], times 32767, rounded half away from zero, as signed 16-bit;
// NaN gives 0.
inline std::int16_t requantize_sample(float y, float dither) {
  const float sum = y + dither;
  if (std::isnan(sum)) return 0;
  const double scaled = static_cast<double>(std::clamp(sum, -1.0f, 1.0f) * 32767.0f);
  // Rounding without a call into libm: |scaled| <= 32767, so scaled +- 0.5 is exact in double and
  // truncation toward zero completes the rounding half away from zero.
  const auto rounded = static_cast<std::int32_t>(scaled + std::copysign(0.5, scaled));
  return static_cast<std::int16_t>(std::clamp(rounded, -32768, 32767));
}

}  // namespace kestrune::engine
