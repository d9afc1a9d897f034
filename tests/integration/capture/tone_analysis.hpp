#pragma once
// Measures a captured sine: where it sets in, and one channel's amplitude at a known frequency
// over whole periods with how much else the channel carries.

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace kestrune::testing {

struct MeasuredTone {
  double amplitude;    // in sample units
  double residual_db;  // what is not the sine, relative to the whole channel
};

// `stereo` is interleaved left, right; `frames` frames from `begin` are measured.
inline MeasuredTone measure_tone(const std::vector<std::int16_t>& stereo, int channel,
                                 double frequency, double rate, std::size_t begin,
                                 std::size_t frames) {
  std::complex<double> sum = 0;
  for (std::size_t f = begin; f < begin + frames; ++f) {
    sum += static_cast<double>(stereo[2 * f + channel]) *
           std::exp(std::complex<double>(0, -2 * M_PI * frequency * static_cast<double>(f) / rate));
  }
  const double amplitude = 2 * std::abs(sum) / static_cast<double>(frames);
  double residual = 0;
  double total = 0;
  for (std::size_t f = begin; f < begin + frames; ++f) {
    const double x = stereo[2 * f + channel];
    const double fit =
        amplitude * std::cos(2 * M_PI * frequency * static_cast<double>(f) / rate + std::arg(sum));
    residual += (x - fit) * (x - fit);
    total += x * x;
  }
  return {amplitude, 10 * std::log10(residual / total)};
}

// The first frame whose left or right sample reaches 1000: where a played tone sets in.
inline std::size_t onset_of(const std::vector<std::int16_t>& stereo) {
  std::size_t frame = 0;
  while (frame < stereo.size() / 2 && std::abs(stereo[2 * frame]) < 1000 &&
         std::abs(stereo[2 * frame + 1]) < 1000) {
    ++frame;
  }
  return frame;
}

}  // namespace kestrune::testing
