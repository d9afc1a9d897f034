#include "engine/audio/live_resampler.hpp"

#include <gtest/gtest.h>

#include <algorithm>
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
      {0.5f, 0, 16384},        {-0.5f, 0, -16384},        {1.2f, 0, 32767},
      {-1.5f, 0, -32767},      {1.0f, max_dither, 32767}, {0.0f, max_dither, 1},
      {0.0f, -max_dither, -1}, {0.0f, 0.25f * kStep, 0},  {std::nanf(""), 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(requantize_sample(c.y, c.dither), c.expected) << c.y << " + " << c.dither;
  }
}

// libm's rounding of the same float product is the reference for the inlined one.
std::int16_t reference_requantize(float y, float dither) {
  const float sum = y + dither;
  if (std::isnan(sum)) return 0;
  const float rounded = std::round(std::clamp(sum, -1.0f, 1.0f) * 32767.0f);
  return static_cast<std::int16_t>(std::clamp(rounded, -32768.0f, 32767.0f));
}

TEST(TpdfDither, RoundsLikeTheLibraryAtEveryHalfStepAndBetween) {
  std::vector<float> values;
  // Around the values that land on a half step, a few floats either side.
  for (int k : {0, 1, 2, 255, 16383, 16384, 32765, 32766}) {
    for (float sign : {1.0f, -1.0f}) {
      float y = sign * (static_cast<float>(k) + 0.5f) / 32767.0f;
      for (int i = 0; i < 4; ++i) y = std::nextafter(y, 0.0f);
      for (int i = 0; i < 9; ++i, y = std::nextafter(y, sign * 2.0f)) values.push_back(y);
    }
  }
  ThreadRng& rng = thread_rng();
  for (int i = 0; i < 100'000; ++i) {
    // Uniform over [-1.1, 1.1), past both clamps.
    values.push_back(
        static_cast<float>(static_cast<double>(rng.next_u64() >> 11) * 0x1p-53 * 2.2 - 1.1));
  }
  for (float y : values) {
    for (float dither : {0.0f, tpdf_dither_from(rng.next_u64())}) {
      ASSERT_EQ(requantize_sample(y, dither), reference_requantize(y, dither))
          << std::hexfloat << y << " + " << dither;
    }
  }
}

// The noise the resampler adds, frame by frame, as it comes from the thread's generator: within
// one step either way, at the generator's 2^-24-step resolution, mean 0, variance 1/6 of a step
// squared, the triangular histogram, and the two channels independent of each other and of the
// frame before. Bounds are some six standard errors, so a fault in shape, amplitude or pairing
// fails by far while chance does not.
TEST(TpdfDither, StereoNoiseIsTriangularOneStepWideAndIndependent) {
  constexpr int kFrames = 400'000;
  constexpr int kBins = 20;  // over (-1, 1) steps, 0.1 wide
  ThreadRng& rng = thread_rng();
  std::array<std::array<double, kBins>, 2> histogram{};
  std::array<double, 2> sum{}, sum_of_squares{};
  std::array<int, 2> inner_half{};
  std::array<int, 2> finest_step{};  // an odd number of 2^-24 steps
  double left_times_right = 0;
  double left_times_previous_right = 0;
  // Quartiles of the triangular distribution: -1 + 1/sqrt(2), 0, 1 - 1/sqrt(2).
  const double quartile = 1.0 - std::sqrt(0.5);
  std::array<std::array<int, 4>, 4> joint{};
  const auto quarter_of = [&](double d) { return (d >= -quartile) + (d >= 0) + (d >= quartile); };
  double previous_right = 0;
  for (int frame = 0; frame < kFrames; ++frame) {
    const StereoDither dither = next_stereo_dither(rng);
    const std::array<double, 2> d = {dither.left / kStep, dither.right / kStep};  // in steps
    for (int channel = 0; channel < 2; ++channel) {
      ASSERT_LT(std::abs(d[channel]), 1.0);
      const double units = d[channel] * 16777216.0;
      ASSERT_EQ(units, std::round(units)) << "not a multiple of 2^-24 steps";
      if (std::fmod(units, 2.0) != 0) ++finest_step[channel];
      sum[channel] += d[channel];
      sum_of_squares[channel] += d[channel] * d[channel];
      if (std::abs(d[channel]) < 0.5) ++inner_half[channel];
      ++histogram[channel][static_cast<std::size_t>((d[channel] + 1.0) * kBins / 2)];
    }
    left_times_right += d[0] * d[1];
    left_times_previous_right += d[0] * previous_right;
    previous_right = d[1];
    ++joint[quarter_of(d[0])][quarter_of(d[1])];
  }
  const double n = kFrames;
  for (int channel = 0; channel < 2; ++channel) {
    const double mean = sum[channel] / n;
    const double variance = sum_of_squares[channel] / n - mean * mean;
    EXPECT_NEAR(mean, 0.0, 0.004) << "channel " << channel;
    // 1/6 for this triangle; a uniform noise of the same width gives 1/3, one twice as wide 2/3.
    EXPECT_NEAR(variance, 1.0 / 6.0, 0.002) << "channel " << channel;
    EXPECT_NEAR(inner_half[channel] / n, 0.75, 0.004) << "channel " << channel;
    EXPECT_NEAR(finest_step[channel] / n, 0.5, 0.005) << "channel " << channel << ": resolution";
    for (int bin = 0; bin < kBins; ++bin) {
      // The triangle's share of the bin [a, b): the integral of 1 - |x|.
      const double a = -1.0 + 2.0 * bin / kBins;
      const double b = a + 2.0 / kBins;
      const auto cdf = [](double x) {
        return x < 0 ? (1 + x) * (1 + x) / 2 : 1 - (1 - x) * (1 - x) / 2;
      };
      const double expected = n * (cdf(b) - cdf(a));
      EXPECT_NEAR(histogram[channel][bin], expected, 6 * std::sqrt(expected) + 1)
          << "channel " << channel << " bin [" << a << ", " << b << ")";
    }
  }
  // Uncorrelated: the standard error of these correlations is 1/sqrt(n), about 0.0016.
  const double variance = 1.0 / 6.0;
  EXPECT_NEAR(left_times_right / n / variance, 0.0, 0.01);
  EXPECT_NEAR(left_times_previous_right / n / variance, 0.0, 0.01);
  // And independent: each pair of quarters, one per channel, holds 1/16 of the frames.
  for (int left = 0; left < 4; ++left) {
    for (int right = 0; right < 4; ++right) {
      EXPECT_NEAR(joint[left][right], n / 16, 6 * std::sqrt(n / 16))
          << "left quarter " << left << ", right quarter " << right;
    }
  }
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
    const CaptureChunk chunk =
        testing::sine_chunk(rate, static_cast<std::size_t>(call), 1000.0, 0.5);
    const std::size_t before = output.size();
    ASSERT_TRUE(resample_live_chunk(*pipeline, chunk.samples, output).has_value());
    const std::size_t frames = (output.size() - before) / 2;
    if (call == 0) first_call_frames = frames;
    EXPECT_GE(static_cast<double>(frames), std::floor(per_call) - 1) << "call " << call;
    EXPECT_LE(static_cast<double>(frames), std::ceil(per_call) + 1) << "call " << call;
    // No drift: the total keeps to the rate within a frame or two.
    EXPECT_NEAR(static_cast<double>(output.size() / 2), per_call * (call + 1), 2.0)
        << "call " << call;
  }

  std::size_t onset = 0;
  while (onset < first_call_frames && std::abs(output[2 * onset]) < 1000) ++onset;
  EXPECT_GT(onset, 0u) << "the resampler's held-back silence was not primed away";
  EXPECT_LE(onset, 512u) << "more than 12 ms of latency";

  // Ten-period windows (441 frames) from well after the onset.
  const std::size_t begin = 2 * static_cast<std::size_t>(per_call) + 441;
  const std::size_t end = begin + 441 * ((output.size() / 2 - begin) / 441);
  for (int channel = 0; channel < 2; ++channel) {
    const testing::SineFit fit =
        testing::fit_sine(output, channel, 1000.0, kLiveOutputRate, begin, end);
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
