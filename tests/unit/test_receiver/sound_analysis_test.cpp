// The test receiver's account of a live session: each channel's level and dominant frequency,
// taken over the packets that sound, whatever silence comes before, between or after them.

#include "test-receiver/sound_analysis.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace kestrune::test_receiver {
namespace {

constexpr double kRate = 44'100.0;

// A sine on each channel (amplitude as a fraction of full scale; 0: silence), `frames` long.
std::vector<std::int16_t> tones(std::size_t frames, double left_hz, double left_amplitude,
                                double right_hz, double right_amplitude) {
  std::vector<std::int16_t> stereo;
  for (std::size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / kRate;
    stereo.push_back(static_cast<std::int16_t>(
        std::lround(left_amplitude * 32'767 * std::sin(2 * std::numbers::pi * left_hz * t))));
    stereo.push_back(static_cast<std::int16_t>(
        std::lround(right_amplitude * 32'767 * std::sin(2 * std::numbers::pi * right_hz * t))));
  }
  return stereo;
}

double sine_dbfs(double amplitude) {
  return 20 * std::log10(amplitude * 32'767 / std::numbers::sqrt2 / 32'768);
}

struct ToneCase {
  const char* name;
  std::size_t frames;
  double left_hz, left_amplitude, right_hz, right_amplitude;
};

class SoundAnalysisOfTones : public ::testing::TestWithParam<ToneCase> {};

TEST_P(SoundAnalysisOfTones, GivesEachChannelsLevelAndFrequency) {
  const ToneCase& tone = GetParam();
  const auto stereo =
      tones(tone.frames, tone.left_hz, tone.left_amplitude, tone.right_hz, tone.right_amplitude);
  const SoundAnalysis sound = analyse_sound(stereo);
  EXPECT_EQ(sound.sounding_packets, (tone.frames + kFramesPerPacket - 1) / kFramesPerPacket);
  const double hz[] = {tone.left_hz, tone.right_hz};
  const double amplitude[] = {tone.left_amplitude, tone.right_amplitude};
  for (int channel = 0; channel < 2; ++channel) {
    SCOPED_TRACE(channel == 0 ? "left" : "right");
    ASSERT_TRUE(sound.channels[channel].level_dbfs);
    EXPECT_NEAR(*sound.channels[channel].level_dbfs, sine_dbfs(amplitude[channel]), 0.05);
    ASSERT_TRUE(sound.channels[channel].frequency_hz);
    EXPECT_NEAR(*sound.channels[channel].frequency_hz, hz[channel], 0.1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tones, SoundAnalysisOfTones,
    ::testing::Values(ToneCase{"ThreeSeconds", 3 * 44'100, 440, 0.5, 997, 0.25},
                      ToneCase{"AsShortAsAnalysed", kMinAnalysedFrames, 1'000, 0.9, 3'150.5, 0.01},
                      ToneCase{"LowAndHigh", 2 * 44'100, 51.3, 0.3, 15'000, 0.3}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(SoundAnalysis, SilentPacketsAroundAndBetweenTheSoundDoNotCount) {
  const auto sound = tones(44'100, 440, 0.5, 997, 0.25);
  std::vector<std::int16_t> stereo(2 * kFramesPerPacket * 20, 0);  // 20 silent packets first
  stereo.insert(stereo.end(), sound.begin(), sound.begin() + 2 * kFramesPerPacket * 60);
  // Dither-like noise below the sounding peak, then the rest of the sound and silence again.
  for (std::size_t i = 0; i < 2 * kFramesPerPacket * 10; ++i) stereo.push_back(i % 3 == 0 ? 2 : -1);
  stereo.insert(stereo.end(), sound.begin() + 2 * kFramesPerPacket * 60, sound.end());
  stereo.resize(stereo.size() + 2 * kFramesPerPacket * 5, 0);
  const SoundAnalysis analysis = analyse_sound(stereo);
  EXPECT_EQ(analysis.sounding_packets, 126U);  // 44100 frames in 352-frame packets
  ASSERT_TRUE(analysis.channels[0].level_dbfs && analysis.channels[1].level_dbfs);
  EXPECT_NEAR(*analysis.channels[0].level_dbfs, sine_dbfs(0.5), 0.05);
  EXPECT_NEAR(*analysis.channels[1].level_dbfs, sine_dbfs(0.25), 0.05);
  ASSERT_TRUE(analysis.channels[1].frequency_hz);
  EXPECT_NEAR(*analysis.channels[1].frequency_hz, 997, 0.5);
}

TEST(SoundAnalysis, SilenceAndTooLittleSoundGiveNoFigures) {
  const SoundAnalysis silence = analyse_sound(std::vector<std::int16_t>(2 * 44'100, 0));
  EXPECT_EQ(silence.sounding_packets, 0U);
  EXPECT_FALSE(silence.channels[0].level_dbfs);
  EXPECT_FALSE(silence.channels[0].frequency_hz);

  // One channel silent beside a sounding one; and too few frames for a frequency.
  const SoundAnalysis one_sided = analyse_sound(tones(44'100, 440, 0.5, 0, 0));
  EXPECT_TRUE(one_sided.channels[0].frequency_hz);
  EXPECT_FALSE(one_sided.channels[1].level_dbfs);
  const SoundAnalysis short_tone = analyse_sound(tones(kMinAnalysedFrames - 1, 440, 0.5, 440, 0.5));
  EXPECT_TRUE(short_tone.channels[0].level_dbfs);
  EXPECT_FALSE(short_tone.channels[0].frequency_hz);
}

}  // namespace
}  // namespace kestrune::test_receiver
