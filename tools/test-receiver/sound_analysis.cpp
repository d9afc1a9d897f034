#include "test-receiver/sound_analysis.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <numbers>
#include <vector>

namespace kestrune::test_receiver {

namespace {

constexpr std::size_t kMaxAnalysedFrames = std::size_t{1} << 17;  // 2.97 s at 44100 Hz
constexpr double kFullScale = 32'768.0;

// In place, radix 2; `values.size()` is a power of two.
void fft(std::vector<std::complex<double>>& values) {
  const std::size_t n = values.size();
  for (std::size_t i = 1, j = 0; i < n; ++i) {
    std::size_t bit = n >> 1;
    for (; (j & bit) != 0; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(values[i], values[j]);
  }
  for (std::size_t length = 2; length <= n; length <<= 1) {
    const double angle = -2.0 * std::numbers::pi / static_cast<double>(length);
    const std::complex<double> step(std::cos(angle), std::sin(angle));
    for (std::size_t start = 0; start < n; start += length) {
      std::complex<double> twiddle(1.0, 0.0);
      for (std::size_t k = 0; k < length / 2; ++k) {
        const std::complex<double> even = values[start + k];
        const std::complex<double> odd = values[start + k + length / 2] * twiddle;
        values[start + k] = even + odd;
        values[start + k + length / 2] = even - odd;
        twiddle *= step;
      }
    }
  }
}

// The strongest frequency of `samples` (a power of two of them), placed between the peak bin and
// its larger neighbour from the ratio of their magnitudes, which for a Hann window gives a pure
// tone's frequency almost exactly.
std::optional<double> dominant_frequency(const std::vector<double>& samples, double sample_rate) {
  const std::size_t n = samples.size();
  std::vector<std::complex<double>> spectrum(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double hann = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) /
                                             static_cast<double>(n));
    spectrum[i] = samples[i] * hann;
  }
  fft(spectrum);
  std::size_t peak = 1;
  for (std::size_t k = 2; k + 1 < n / 2; ++k) {
    if (std::abs(spectrum[k]) > std::abs(spectrum[peak])) peak = k;
  }
  const double below = std::abs(spectrum[peak - 1]);
  const double at = std::abs(spectrum[peak]);
  const double above = std::abs(spectrum[peak + 1]);
  if (at <= 0.0) return std::nullopt;
  const double ratio = std::max(below, above) / at;
  const double offset = (2.0 * ratio - 1.0) / (ratio + 1.0);
  const double bin = static_cast<double>(peak) + (above >= below ? offset : -offset);
  return bin * sample_rate / static_cast<double>(n);
}

bool packet_sounds(std::span<const std::int16_t> packet) {
  return std::any_of(packet.begin(), packet.end(),
                     [](std::int16_t sample) { return std::abs(int{sample}) >= kSoundingPeak; });
}

}  // namespace

SoundAnalysis analyse_sound(std::span<const std::int16_t> stereo, double sample_rate) {
  SoundAnalysis analysis;
  std::array<std::vector<double>, 2> sounding;
  constexpr std::size_t kPacketSamples = 2 * kFramesPerPacket;
  for (std::size_t at = 0; at + 1 < stereo.size(); at += kPacketSamples) {
    const auto packet =
        stereo.subspan(at, std::min(kPacketSamples, (stereo.size() - at) & ~std::size_t{1}));
    if (!packet_sounds(packet)) continue;
    ++analysis.sounding_packets;
    for (std::size_t i = 0; i < packet.size(); ++i) sounding[i % 2].push_back(packet[i]);
  }
  for (std::size_t channel = 0; channel < 2; ++channel) {
    const std::vector<double>& samples = sounding[channel];
    if (samples.empty()) continue;
    double squares = 0.0;
    for (const double sample : samples) squares += sample * sample;
    const double rms = std::sqrt(squares / static_cast<double>(samples.size()));
    ChannelSound& sound = analysis.channels[channel];
    if (rms > 0.0) sound.level_dbfs = 20.0 * std::log10(rms / kFullScale);
    if (samples.size() < kMinAnalysedFrames) continue;
    std::size_t frames = kMinAnalysedFrames;
    while (frames * 2 <= std::min(samples.size(), kMaxAnalysedFrames)) frames *= 2;
    const std::size_t middle = (samples.size() - frames) / 2;
    sound.frequency_hz =
        dominant_frequency({samples.begin() + static_cast<std::ptrdiff_t>(middle),
                            samples.begin() + static_cast<std::ptrdiff_t>(middle + frames)},
                           sample_rate);
  }
  return analysis;
}

}  // namespace kestrune::test_receiver
