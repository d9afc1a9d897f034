#pragma once
// What can be told of decrypted audio without knowing what was sent: each channel's level (RMS in
// dBFS, 20·log10(RMS / 32768), so a full-scale sine is -3.01 dBFS) and its dominant frequency.
// Both are taken over the sounding packets only, the 352-frame packets in which either channel
// reaches kSoundingPeak (about -60 dBFS): silence before the sound sets in, between sounds and
// after it ends does not count. The frequency comes from a Hann-windowed FFT over the middle of
// the sounding frames (a power of two of them, at most about 3 s), its peak placed between bins.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kestrune::test_receiver {

inline constexpr std::size_t kFramesPerPacket = 352;
inline constexpr int kSoundingPeak = 33;
// Fewer sounding frames than this give no frequency (it would be coarser than about 1 Hz).
inline constexpr std::size_t kMinAnalysedFrames = 4096;

struct ChannelSound {
  std::optional<double> level_dbfs;    // nothing: no sounding packet, or the channel is all zero
  std::optional<double> frequency_hz;  // nothing: fewer than kMinAnalysedFrames sounding frames
};

struct SoundAnalysis {
  std::size_t sounding_packets = 0;
  std::array<ChannelSound, 2> channels;  // left, right
};

// `stereo`: interleaved left, right, in whole packets as they arrived (a short tail counts as a
// packet of its own).
SoundAnalysis analyse_sound(std::span<const std::int16_t> stereo, double sample_rate = 44'100.0);

}  // namespace kestrune::test_receiver
