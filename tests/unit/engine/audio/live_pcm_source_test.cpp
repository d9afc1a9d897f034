#include "engine/audio/live_pcm_source.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/unit/engine/audio/tone.hpp"

namespace kestrune::engine {
namespace {

struct Live {
  support::Sender<CaptureChunk> capture;
  LivePcmSource source;
};

Live make_live(std::uint32_t rate) {
  auto [sender, receiver] = support::channel<CaptureChunk>(kCaptureQueueChunks);
  auto source = new_live_source(std::move(receiver), rate);
  EXPECT_TRUE(source.has_value()) << source.error().describe();
  return Live{std::move(sender), std::move(*source)};
}

CaptureChunk ramp_chunk(std::uint32_t rate, int start) {
  CaptureChunk chunk;
  chunk.sample_rate = rate;
  for (std::size_t i = 0; i < chunk.samples.size(); ++i) {
    chunk.samples[i] = static_cast<std::int16_t>((start + static_cast<int>(i)) % 30000);
  }
  return chunk;
}

bool is_packet(const support::Result<LivePull>& pull) {
  return pull && std::holds_alternative<LivePacket>(*pull);
}
bool is_not_ready(const support::Result<LivePull>& pull) {
  return pull && std::holds_alternative<LiveNotReady>(*pull);
}
bool is_ended(const support::Result<LivePull>& pull) {
  return pull && std::holds_alternative<LiveEnded>(*pull);
}

TEST(LivePcmSource, PassesThroughAt44100Unchanged) {
  Live live = make_live(44100);
  EXPECT_TRUE(is_not_ready(next_live_packet(live.source)));

  ASSERT_TRUE(live.capture.try_send(ramp_chunk(44100, 0)).has_value());
  for (int packet = 0; packet < 2; ++packet) {
    auto pull = next_live_packet(live.source);
    ASSERT_TRUE(is_packet(pull)) << "packet " << packet;
    const LivePacket& samples = std::get<LivePacket>(*pull);
    for (std::size_t i = 0; i < samples.size(); ++i) {
      ASSERT_EQ(samples[i], static_cast<std::int16_t>(packet * 704 + static_cast<int>(i)));
    }
  }
  EXPECT_TRUE(is_not_ready(next_live_packet(live.source)));  // 640 samples wait for more

  ASSERT_TRUE(live.capture.try_send(ramp_chunk(44100, 2048)).has_value());
  auto third = next_live_packet(live.source);
  ASSERT_TRUE(is_packet(third));
  EXPECT_EQ(std::get<LivePacket>(*third).front(), 1408);
  EXPECT_EQ(std::get<LivePacket>(*third).back(), 1408 + 703);
}

TEST(LivePcmSource, AfterTheQueueClosesReturnsWholePacketsThenEnded) {
  Live live = make_live(44100);
  ASSERT_TRUE(live.capture.try_send(ramp_chunk(44100, 0)).has_value());
  ASSERT_TRUE(live.capture.try_send(ramp_chunk(44100, 2048)).has_value());
  live.capture.close();
  int packets = 0;
  for (int pull = 0; pull < 10; ++pull) {
    auto result = next_live_packet(live.source);
    ASSERT_TRUE(result.has_value());
    if (is_packet(result)) {
      ++packets;
      continue;
    }
    EXPECT_TRUE(is_ended(result));
    break;
  }
  EXPECT_EQ(packets, 5);  // 4096 samples: 5 packets, the last 576 samples dropped
  EXPECT_TRUE(is_ended(next_live_packet(live.source)));
  EXPECT_TRUE(live.source.ended);
}

TEST(LivePcmSource, RefusesBadChunksAndRates) {
  auto [sender, receiver] = support::channel<CaptureChunk>(4);
  auto zero = new_live_source(std::move(receiver), 0);
  ASSERT_FALSE(zero.has_value());
  EXPECT_EQ(zero.error().describe(), "resampler rates must be non-zero");

  struct Case {
    std::uint32_t source_rate;
    CaptureChunk chunk;
    std::string message;
  };
  CaptureChunk mono = ramp_chunk(44100, 0);
  mono.channels = 1;
  const Case cases[] = {
      {44100, ramp_chunk(48000, 0), "capture sample rate changed from 44100 to 48000"},
      {48000, ramp_chunk(44100, 0), "capture sample rate changed from 48000 to 44100"},
      {44100, mono, "live PCM frame must be complete interleaved stereo"},
  };
  for (const Case& c : cases) {
    Live live = make_live(c.source_rate);
    ASSERT_TRUE(live.capture.try_send(c.chunk).has_value());
    auto pull = next_live_packet(live.source);
    ASSERT_FALSE(pull.has_value()) << c.message;
    EXPECT_EQ(pull.error().describe(), c.message);
  }
}

// At 48000 Hz each chunk gives about 941 frames; the priming output is gone, so the tone starts
// within the first few milliseconds of the source's output, at its level and frequency.
TEST(LivePcmSource, ResamplesA48000HzDeviceIntoPackets) {
  Live live = make_live(48000);
  constexpr int kChunks = 48;
  for (int i = 0; i < kChunks; ++i) {
    ASSERT_TRUE(live.capture.try_send(testing::sine_chunk(48000, i, 1000.0, 0.5)).has_value());
  }
  live.capture.close();
  std::vector<std::int16_t> output;
  for (int pull = 0; pull < 200; ++pull) {
    auto result = next_live_packet(live.source);
    ASSERT_TRUE(result.has_value()) << result.error().describe();
    if (!is_packet(result)) {
      EXPECT_TRUE(is_ended(result));
      break;
    }
    const LivePacket& packet = std::get<LivePacket>(*result);
    output.insert(output.end(), packet.begin(), packet.end());
  }
  const double expected_frames = kChunks * 1024.0 * 44100 / 48000;
  EXPECT_EQ(output.size() / 704, static_cast<std::size_t>(expected_frames * 2 / 704));

  std::size_t onset = 0;
  while (onset < output.size() / 2 && std::abs(output[2 * onset]) < 1000) ++onset;
  EXPECT_GT(onset, 0u);
  EXPECT_LE(onset, 441u);
  const testing::SineFit fit = testing::fit_sine(output, 1, 1000.0, 44100, 882, 882 + 441 * 80);
  EXPECT_NEAR(fit.amplitude, 0.5 * 32767, 0.5 * 32767 * 0.006);
  EXPECT_LT(fit.residual_db, -70.0);
}

// Only what waits beyond the limit goes, the oldest first and in whole chunks: the source then
// goes on with the chunk after the gap.
TEST(LivePcmSource, DropsTheOldestChunksBeyondTheBacklogLimit) {
  struct Case {
    std::size_t queued;
    std::size_t limit;
    std::size_t dropped;
  };
  const Case cases[] = {{0, 6, 0}, {6, 6, 0}, {7, 6, 1}, {20, 6, 14}, {3, 1, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.queued) + " queued, limit " + std::to_string(c.limit));
    Live live = make_live(44100);
    for (std::size_t chunk = 0; chunk < c.queued; ++chunk) {
      ASSERT_TRUE(
          live.capture.try_send(ramp_chunk(44100, static_cast<int>(chunk * 2048))).has_value());
    }
    EXPECT_EQ(drop_capture_backlog(live.source, c.limit), c.dropped);
    EXPECT_EQ(live.source.queue.size(), c.queued - c.dropped);
    if (c.queued == 0) continue;
    auto pull = next_live_packet(live.source);
    ASSERT_TRUE(is_packet(pull));
    EXPECT_EQ(std::get<LivePacket>(*pull).front(), static_cast<std::int16_t>(c.dropped * 2048));
  }
}

}  // namespace
}  // namespace kestrune::engine
