#pragma once
// Test signals and their measurement: sines cut into capture chunks, and the level and purity of
// a sine found in interleaved 16-bit audio.

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/capture/capture_chunk.hpp"

namespace kestrune::testing {

// Chunk `index` of a sine of `frequency` Hz and `amplitude` (of full scale) sampled at `rate`,
// with the right channel in opposite phase.
inline engine::CaptureChunk sine_chunk(std::uint32_t rate, std::size_t index, double frequency,
                                       double amplitude) {
  engine::CaptureChunk chunk;
  chunk.sample_rate = rate;
  for (std::size_t f = 0; f < engine::kCaptureChunkSamples / 2; ++f) {
    const double t = static_cast<double>(index * 1024 + f) / rate;
    const double value = std::round(amplitude * 32767.0 * std::sin(2 * M_PI * frequency * t));
    chunk.samples[2 * f] = static_cast<std::int16_t>(value);
    chunk.samples[2 * f + 1] = static_cast<std::int16_t>(-value);
  }
  return chunk;
}

struct SineFit {
  double amplitude;    // in 16-bit steps
  double residual_db;  // what is not that sine, relative to the signal
};

// Fits a sine of `frequency` to one channel of interleaved stereo over frames [begin, end).
inline SineFit fit_sine(std::span<const std::int16_t> stereo, int channel, double frequency,
                        double rate, std::size_t begin, std::size_t end) {
  std::complex<double> sum = 0;
  for (std::size_t f = begin; f < end; ++f) {
    const double x = stereo[2 * f + channel];
    sum += x *
           std::exp(std::complex<double>(0, -2 * M_PI * frequency * static_cast<double>(f) / rate));
  }
  const double n = static_cast<double>(end - begin);
  const double amplitude = 2 * std::abs(sum) / n;
  const double phase = std::arg(sum);
  double residual = 0;
  double total = 0;
  for (std::size_t f = begin; f < end; ++f) {
    const double x = stereo[2 * f + channel];
    const double fit =
        amplitude * std::cos(2 * M_PI * frequency * static_cast<double>(f) / rate + phase);
    residual += (x - fit) * (x - fit);
    total += x * x;
  }
  return {amplitude, 10 * std::log10(residual / total)};
}

}  // namespace kestrune::testing
