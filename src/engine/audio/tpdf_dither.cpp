#include "engine/audio/tpdf_dither.hpp"

#include <algorithm>
#include <cmath>

namespace kestrune::engine {

float tpdf_dither(std::uint32_t u1, std::uint32_t u2) {
  constexpr float kTwoToMinus24 = 1.0f / 16777216.0f;
  constexpr float kTwoToMinus15 = 1.0f / 32768.0f;
  const float a = static_cast<float>(u1 >> 8) * kTwoToMinus24;
  const float b = static_cast<float>(u2 >> 8) * kTwoToMinus24;
  return (a - b) * kTwoToMinus15;
}

std::int16_t requantize_sample(float y, float dither) {
  const float sum = y + dither;
  if (std::isnan(sum)) return 0;
  const float value = std::clamp(sum, -1.0f, 1.0f);
  const float scaled = std::round(value * 32767.0f);
  return static_cast<std::int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

}  // namespace kestrune::engine
