#include "engine/capture/capture_callback.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

namespace kestrune::engine {
namespace {

using Samples = std::vector<std::int16_t>;
using namespace std::chrono_literals;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Callback {
  CaptureCallbackState state;
  support::Receiver<CaptureChunk> queue;
  std::shared_ptr<CaptureStats> stats;
};

Callback make_callback(std::uint16_t channels, std::uint32_t rate = 48000) {
  auto [sender, receiver] = support::channel<CaptureChunk>(kCaptureQueueChunks);
  auto stats = std::make_shared<CaptureStats>();
  return Callback{CaptureCallbackState(std::move(sender), stats, channels, rate),
                  std::move(receiver), stats};
}

// One buffer as the device delivers it, in any of the three sample types.
using DeviceBuffer =
    std::variant<std::vector<std::int16_t>, std::vector<std::uint16_t>, std::vector<float>>;

void deliver(CaptureCallbackState& state, const DeviceBuffer& buffer, CaptureInstant now) {
  std::visit([&](const auto& samples) { capture_buffer(state, std::span(samples), now); }, buffer);
}

struct ConversionCase {
  std::string name;
  std::uint16_t channels;
  DeviceBuffer buffer;
  Samples stereo;  // what is left pending
  std::uint64_t peak;
  std::uint64_t sum_of_squares;
};

void PrintTo(const ConversionCase& c, std::ostream* out) { *out << c.name; }

std::uint64_t squares(const Samples& samples) {
  std::uint64_t sum = 0;
  for (std::int16_t s : samples)
    sum += static_cast<std::uint64_t>(std::abs(int{s})) * std::abs(int{s});
  return sum;
}

class Conversion : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(Conversion, ConvertsWholeFramesToStereo) {
  const ConversionCase& c = GetParam();
  Callback callback = make_callback(c.channels);
  deliver(callback.state, c.buffer, CaptureInstant{});

  EXPECT_EQ(callback.state.pending, c.stereo);
  const CaptureStats& stats = *callback.stats;
  EXPECT_EQ(stats.callbacks.load(), 1u);
  EXPECT_EQ(stats.frames.load(), c.stereo.size() / 2);
  EXPECT_EQ(stats.samples.load(), c.stereo.size());
  EXPECT_EQ(stats.peak.load(), c.peak);
  EXPECT_EQ(stats.sum_of_squares.load(), c.sum_of_squares);
  EXPECT_EQ(stats.chunks.load(), 0u);
}

std::vector<std::int16_t> ramp(std::size_t count, int start = 1) {
  std::vector<std::int16_t> out(count);
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::int16_t>(start + int(i));
  return out;
}

Samples stereo_of_ramp(std::size_t frames) {
  Samples out;
  for (std::size_t f = 0; f < frames; ++f) {
    out.push_back(static_cast<std::int16_t>(1 + 2 * f));
    out.push_back(static_cast<std::int16_t>(2 + 2 * f));
  }
  return out;
}

const Samples kSixChannelStereo = {1, 2, 7, 8};

INSTANTIATE_TEST_SUITE_P(
    Table, Conversion,
    ::testing::Values(
        ConversionCase{"mono_copies_left_to_right", 1, std::vector<std::int16_t>{5, -6, 7},
                       Samples{5, 5, -6, -6, 7, 7}, 7, 2 * (25 + 36 + 49)},
        ConversionCase{"six_channels_keep_the_first_two", 6, ramp(12), kSixChannelStereo, 8,
                       squares(kSixChannelStereo)},
        ConversionCase{"odd_sample_of_a_stereo_buffer_is_ignored", 2, ramp(1001),
                       stereo_of_ramp(500), 1000, squares(stereo_of_ramp(500))},
        ConversionCase{"partial_frame_of_six_channels_is_ignored", 6, ramp(11), Samples{1, 2}, 2,
                       5},
        ConversionCase{"floats_clamp_round_and_zero_nan", 2,
                       std::vector<float>{1.5f, -1.0f, 0.5f, kNaN, -2.0f, 1e-6f},
                       Samples{32767, -32767, 16384, 0, -32767, 0}, 32767,
                       squares(Samples{32767, -32767, 16384, 0, -32767, 0})},
        ConversionCase{"unsigned_extremes", 2, std::vector<std::uint16_t>{0, 65535, 32768, 32767},
                       Samples{-32768, 32767, 0, -1}, 32768, 1073741824ull + 1073676289ull + 1},
        ConversionCase{"most_negative_has_magnitude_32768", 2, std::vector<std::int16_t>{-32768, 0},
                       Samples{-32768, 0}, 32768, 1073741824ull}),
    [](const auto& test) { return test.param.name; });

TEST(CaptureCallback, RecordsTheLongestGapBetweenCallbacks) {
  Callback callback = make_callback(2);
  const std::vector<std::int16_t> frame = {1, 1};
  const CaptureInstant start{std::chrono::seconds(100)};
  const std::vector<CaptureInstant> calls = {start, start + 10500us, start + 12ms,
                                             start + 12ms + 999ns};
  const std::vector<std::uint64_t> max_gap_after = {0, 10500, 10500, 10500};
  for (std::size_t i = 0; i < calls.size(); ++i) {
    capture_buffer(callback.state, std::span(frame), calls[i]);
    EXPECT_EQ(callback.stats->max_callback_gap_us.load(), max_gap_after[i]) << "after call " << i;
  }
  capture_buffer(callback.state, std::span(frame), calls.back() + 37999us + 999ns);
  EXPECT_EQ(callback.stats->max_callback_gap_us.load(), 37'999u);  // whole microseconds
  EXPECT_EQ(callback.stats->callbacks.load(), 5u);
}

TEST(CaptureCallback, CutsChunksOfExactly2048SamplesInOrder) {
  Callback callback = make_callback(2, 96000);
  // 2500 frames in uneven buffers: two chunks and 904 samples left over.
  std::vector<std::int16_t> all(5000);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::int16_t>(i % 30000);
  std::size_t at = 0;
  for (std::size_t size : {300u, 1700u, 2u, 2998u}) {
    capture_buffer(callback.state, std::span(all).subspan(at, size), CaptureInstant{});
    at += size;
  }
  ASSERT_EQ(at, all.size());
  for (std::size_t chunk = 0; chunk < 2; ++chunk) {
    auto received = callback.queue.try_recv();
    ASSERT_TRUE(received.has_value()) << "chunk " << chunk;
    EXPECT_EQ(received->sample_rate, 96000u);
    EXPECT_EQ(received->channels, 2u);
    EXPECT_TRUE(std::equal(received->samples.begin(), received->samples.end(),
                           all.begin() + static_cast<std::ptrdiff_t>(chunk * 2048)));
  }
  EXPECT_FALSE(callback.queue.try_recv().has_value());
  EXPECT_EQ(callback.stats->chunks.load(), 2u);
  EXPECT_EQ(callback.state.pending, Samples(all.begin() + 4096, all.end()));
}

TEST(CaptureCallback, FullQueueDropsTheChunkAndEverythingPending) {
  Callback callback = make_callback(2);
  const std::vector<std::int16_t> one_chunk(kCaptureChunkSamples, 3);
  for (std::size_t i = 0; i < kCaptureQueueChunks; ++i) {
    capture_buffer(callback.state, std::span(one_chunk), CaptureInstant{});
  }
  ASSERT_EQ(callback.stats->queue_drops.load(), 0u);
  ASSERT_EQ(callback.stats->chunks.load(), kCaptureQueueChunks);

  // Enough for two chunks and a remainder: the first is dropped, the second never formed.
  const std::vector<std::int16_t> two_and_a_bit(2 * kCaptureChunkSamples + 100, 9);
  capture_buffer(callback.state, std::span(two_and_a_bit), CaptureInstant{});
  EXPECT_EQ(callback.stats->queue_drops.load(), 1u);
  EXPECT_EQ(callback.stats->chunks.load(), kCaptureQueueChunks + 1);
  EXPECT_TRUE(callback.state.pending.empty());
  EXPECT_EQ(callback.stats->frames.load(), (kCaptureQueueChunks * 2048 + two_and_a_bit.size()) / 2);

  // Room again: capture goes on with fresh audio.
  ASSERT_TRUE(callback.queue.try_recv().has_value());
  capture_buffer(callback.state, std::span(two_and_a_bit), CaptureInstant{});
  EXPECT_EQ(callback.stats->queue_drops.load(), 2u);  // one chunk fitted, the next did not
  EXPECT_EQ(callback.stats->chunks.load(), kCaptureQueueChunks + 3);
}

TEST(CaptureCallback, ClosedQueueDiscardsSilently) {
  Callback callback = make_callback(2);
  callback.queue.close();
  const std::vector<std::int16_t> samples(kCaptureChunkSamples + 10, 4);
  capture_buffer(callback.state, std::span(samples), CaptureInstant{});
  EXPECT_EQ(callback.stats->chunks.load(), 1u);
  EXPECT_EQ(callback.stats->queue_drops.load(), 0u);
  EXPECT_TRUE(callback.state.pending.empty());
}

TEST(CaptureCallback, ErrorCallbackOnlyCounts) {
  CaptureStats stats;
  capture_error_callback(stats, support::Error("device invalidated"));
  capture_error_callback(stats, support::Error("again"));
  EXPECT_EQ(stats.callback_errors.load(), 2u);
  EXPECT_EQ(stats.callbacks.load(), 0u);
}

TEST(CaptureStatsTotals, LevelOfASine) {
  Callback callback = make_callback(2);
  const double amplitude = 0.25;
  std::vector<float> sine(2 * 4800);
  for (std::size_t f = 0; f < 4800; ++f) {
    const auto value = static_cast<float>(
        amplitude * std::sin(2 * M_PI * 1000.0 * static_cast<double>(f) / 48000.0));
    sine[2 * f] = value;
    sine[2 * f + 1] = -value;
  }
  capture_buffer(callback.state, std::span(sine), CaptureInstant{});
  const CaptureTotals totals = capture_totals(*callback.stats);
  EXPECT_NEAR(totals.rms, amplitude * 32767 / std::sqrt(2.0), 1.0);
  EXPECT_NEAR(static_cast<double>(totals.peak), amplitude * 32767, 1.0);
  EXPECT_EQ(totals.frames, 4800u);
  EXPECT_EQ(totals.chunks, 4u);  // 9600 samples

  EXPECT_EQ(capture_totals(CaptureStats{}).rms, 0.0);
}

TEST(CaptureStatsTotals, SumOfSquaresSaturatesInsteadOfWrapping) {
  CaptureStats stats;
  add_saturating(stats.sum_of_squares, std::numeric_limits<std::uint64_t>::max() - 5);
  add_saturating(stats.sum_of_squares, 10);
  EXPECT_EQ(stats.sum_of_squares.load(), std::numeric_limits<std::uint64_t>::max());
  raise_counter(stats.peak, 7);
  raise_counter(stats.peak, 3);
  EXPECT_EQ(stats.peak.load(), 7u);
}

}  // namespace
}  // namespace kestrune::engine
