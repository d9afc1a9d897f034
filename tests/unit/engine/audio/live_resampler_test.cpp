#include "engine/audio/live_resampler.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/audio/thread_rng.hpp"
#include "engine/audio/tpdf_dither.hpp"
#include "tests/unit/engine/audio/tone.hpp"

namespace kestrune::engine {
namespace {

constexpr float kStep = 1.0f / 32768.0f;  // one 16-bit step of the input scale

TEST(TpdfDither, MapsTwoGeneratorValuesIntoOneStepEitherWay) {
  struct Case {
    std::uint32_t u1, u2;
    float expected;
  };
  const Case cases[] = {
      {0, 0, 0.0f},
      {0xFFFFFFFFu, 0, (16777215.0f / 16777216.0f) * kStep},
      {0, 0xFFFFFFFFu, -(16777215.0f / 16777216.0f) * kStep},
      {0x100, 0, kStep / 16777216.0f},
      {0xFF, 0xFE, 0.0f},  // the low 8 bits play no part
      {0x80000000u, 0x40000000u, 0.25f * kStep},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tpdf_dither(c.u1, c.u2), c.expected) << std::hex << c.u1 << " " << c.u2;
  }
}

TEST(TpdfDither, RequantisesWithClampAndRoundingAwayFromZero) {
  struct Case {
    float y, dither;
    std::int16_t expected;
  };
  const float max_dither = tpdf_dither(0xFFFFFFFFu, 0);
  const Case cases[] = {
      {0.5f, 0, 16384},       {-0.5f, 0, -16384},   {1.2f, 0, 32767},
      {-1.5f, 0, -32767},     {1.0f, max_dither, 32767},
      {0.0f, max_dither, 1},  {0.0f, -max_dither, -1}, {0.0f, 0.25f * kStep, 0},
      {std::nanf(""), 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(requantize_sample(c.y, c.dither), c.expected) << c.y << " + " << c.dither;
  }
}

TEST(TpdfDither, GeneratorNoiseIsTriangularWithinOneStep) {
  std::mt19937& rng = thread_rng();
  constexpr int kDraws = 200'000;
  double sum = 0;
  double sum_of_squares = 0;
  int inner_half = 0;
  for (int i = 0; i < kDraws; ++i) {
    const std::uint32_t u1 = next_u32(rng);
    const std::uint32_t u2 = next_u32(rng);
    const double d = tpdf_dither(u1, u2) / kStep;  // in steps
    ASSERT_LT(std::abs(d), 1.0);
    sum += d;
    sum_of_squares += d * d;
    if (std::abs(d) < 0.5) ++inner_half;
  }
  const double mean = sum / kDraws;
  EXPECT_NEAR(mean, 0.0, 0.01);
  EXPECT_NEAR(sum_of_squares / kDraws - mean * mean, 1.0 / 6.0, 0.01);  // triangular, not uniform
  EXPECT_NEAR(static_cast<double>(inner_half) / kDraws, 0.75, 0.01);
}

TEST(LiveResampler, RefusesRatesItCannotServe) {
  for (std::uint32_t rate : {1u, 999u, 768001u, 4'000'000'000u}) {
    auto pipeline = new_resampler_pipeline(rate);
    ASSERT_FALSE(pipeline.has_value()) << rate;
    EXPECT_EQ(pipeline.error().contexts(),
              std::vector<std::string>{"create rubato SincFixedIn resampler"});
  }
}

class ResamplerRate : public ::testing::TestWithParam<std::uint32_t> {};

// A 1 kHz sine at half scale, chunk after chunk: each call gives the rate's share of output
// frames, the audio starts within 12 ms of the first real chunk's output, and the output is a
// 1 kHz sine of the same level with nothing much else in it.
TEST_P(ResamplerRate, KeepsLengthLatencyFrequencyAndLevel) {
  const std::uint32_t rate = GetParam();
  auto pipeline = new_resampler_pipeline(rate);
  ASSERT_TRUE(pipeline.has_value()) << pipeline.error().describe();

  const double per_call = 1024.0 * kLiveOutputRate / rate;
  constexpr int kCalls = 60;
  std::vector<std::int16_t> output;
  std::size_t first_call_frames = 0;
  for (int call = 0; call < kCalls; ++call) {
    const CaptureChunk chunk = testing::sine_chunk(rate, static_cast<std::size_t>(call), 1000.0, 0.5);
    const std::size_t before = output.size();
    ASSERT_TRUE(resample_live_chunk(*pipeline, chunk.samples, output).has_value());
    const std::size_t frames = (output.size() - before) / 2;
    if (call == 0) first_call_frames = frames;
    EXPECT_GE(static_cast<double>(frames), std::floor(per_call) - 1) << "call " << call;
    EXPECT_LE(static_cast<double>(frames), std::ceil(per_call) + 1) << "call " << call;
    // No drift: the total keeps to the rate within a frame or two.
    EXPECT_NEAR(static_cast<double>(output.size() / 2), per_call * (call + 1), 2.0) << "call " << call;
  }

  std::size_t onset = 0;
  while (onset < first_call_frames && std::abs(output[2 * onset]) < 1000) ++onset;
  EXPECT_GT(onset, 0u) << "the resampler's held-back silence was not primed away";
  EXPECT_LE(onset, 512u) << "more than 12 ms of latency";

  // Ten-period windows (441 frames) from well after the onset.
  const std::size_t begin = 2 * static_cast<std::size_t>(per_call) + 441;
  const std::size_t end = begin + 441 * ((output.size() / 2 - begin) / 441);
  for (int channel = 0; channel < 2; ++channel) {
    const testing::SineFit fit = testing::fit_sine(output, channel, 1000.0, kLiveOutputRate, begin, end);
    EXPECT_NEAR(20 * std::log10(fit.amplitude / (0.5 * 32767)), 0.0, 0.05) << "channel " << channel;
    EXPECT_LT(fit.residual_db, -70.0) << "channel " << channel;
  }
}

INSTANTIATE_TEST_SUITE_P(DeviceRates, ResamplerRate,
                         ::testing::Values(22050u, 32000u, 48000u, 88200u, 96000u, 192000u),
                         [](const auto& test) { return std::to_string(test.param); });

TEST(LiveResampler, SilenceComesOutAsDitherOnly) {
  auto pipeline = new_resampler_pipeline(48000);
  ASSERT_TRUE(pipeline.has_value());
  const std::array<std::int16_t, kResamplerChunkSamples> silence{};
  std::vector<std::int16_t> output;
  ASSERT_TRUE(resample_live_chunk(*pipeline, silence, output).has_value());
  ASSERT_GT(output.size(), 1800u);
  std::size_t nonzero = 0;
  for (std::int16_t sample : output) {
    ASSERT_LE(std::abs(sample), 1);
    if (sample != 0) ++nonzero;
  }
  // About a quarter of the dither values reach half a step.
  EXPECT_GT(nonzero, output.size() / 8);
  EXPECT_LT(nonzero, output.size() / 2);
}

}  // namespace
}  // namespace kestrune::engine
