#pragma once
// Requantising resampled audio to 16 bits with triangular (TPDF) dither: the difference of two
// uniform values, one 16-bit step wide, spreads the rounding error over (-1, 1) steps so quiet
// passages do not turn into correlated distortion.

#include <cstdint>

namespace kestrune::engine {

// ((u1 >> 8) - (u2 >> 8)) * 2^-24 * 2^-15: triangular over (-2^-15, 2^-15), from two successive
// 32-bit values of the generator.
float tpdf_dither(std::uint32_t u1, std::uint32_t u2);

// (y + dither) clamped to [-1, 1], times 32767, rounded half away from zero, as signed 16-bit;
// NaN gives 0.
std::int16_t requantize_sample(float y, float dither);

}  // namespace kestrune::engine
