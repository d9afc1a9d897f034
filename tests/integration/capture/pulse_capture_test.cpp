#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "engine/audio/live_pcm_source.hpp"
#include "engine/capture/loopback_capture.hpp"
#include "platform/pulse_audio_host.hpp"
#include "tests/integration/capture/pulse_server.hpp"
#include "tests/integration/capture/tone_analysis.hpp"

namespace kestrune::engine {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Points libpulse at the private server before any test opens a connection (and so before any
// of its threads exist), so the system's default host finds that server too.
class PulseEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    const auto dir = testing::pulse_dir();
    if (!dir) return;
    ::setenv("PULSE_SERVER", testing::pulse_server().c_str(), 1);
    ::setenv("PULSE_COOKIE", (*dir + "/cookie").c_str(), 1);
    ::setenv("PULSE_CLIENTCONFIG", (*dir + "/client.conf").c_str(), 1);
  }
};
[[maybe_unused]] ::testing::Environment* const kPulseEnvironment =
    ::testing::AddGlobalTestEnvironment(new PulseEnvironment);

TEST(PulseAudioHost, DefaultDeviceIsTheNullSink) {
  REQUIRE_PULSE_SERVER();
  auto host = platform::make_pulse_audio_host(testing::pulse_server());
  auto device = host->default_output_device(nullptr);
  ASSERT_TRUE(device.has_value()) << device.error().describe();
  ASSERT_NE(*device, nullptr);
  auto name = (*device)->name();
  ASSERT_TRUE(name.has_value());
  EXPECT_EQ(*name, "KestruneNull");
  auto config = (*device)->default_output_config();
  ASSERT_TRUE(config.has_value()) << config.error().describe();
  EXPECT_EQ(config->sample_format, platform::SampleFormat::f32);
  EXPECT_EQ(config->sample_rate, 48000u);
  EXPECT_EQ(config->channels, 2u);
}

TEST(PulseAudioHost, UnreachableServerFailsPromptly) {
  auto host = platform::make_pulse_audio_host("unix:/nonexistent/kestrune/native");
  const auto start = Clock::now();
  auto handle = start_loopback_capture(*host);
  ASSERT_FALSE(handle.has_value());
  EXPECT_EQ(handle.error().contexts().front(), "Windows has no default output device");
  EXPECT_LT(Clock::now() - start, 5s);
}

// What the sink plays comes out of the live source as a 44100 Hz tone of the same level.
TEST(PulseCapture, CapturesThePlayedToneAtTheSinksRate) {
  REQUIRE_PULSE_SERVER();
  auto handle = start_loopback_capture(platform::default_audio_host());
  ASSERT_TRUE(handle.has_value()) << handle.error().describe();
  EXPECT_EQ(handle->device_name, "KestruneNull");
  EXPECT_EQ(handle->sample_format, "F32");
  EXPECT_EQ(handle->sample_rate, 48000u);
  EXPECT_EQ(handle->channels, 2u);

  auto source = new_live_source(std::move(handle->queue), handle->sample_rate);
  ASSERT_TRUE(source.has_value()) << source.error().describe();
  testing::TonePlayer player(1000.0, 0.5);

  // Collect until half a second of tone has come through, for at most 15 s.
  constexpr std::size_t kWanted = 22050;
  std::vector<std::int16_t> output;
  const auto give_up = Clock::now() + 15s;
  while (Clock::now() < give_up && !player.failed()) {
    auto pull = next_live_packet(*source);
    ASSERT_TRUE(pull.has_value()) << pull.error().describe();
    if (auto* packet = std::get_if<LivePacket>(&*pull)) {
      output.insert(output.end(), packet->begin(), packet->end());
      const std::size_t onset = testing::onset_of(output);
      if (onset < output.size() / 2 && output.size() / 2 - onset >= kWanted + 4410) break;
    } else {
      ASSERT_TRUE(std::holds_alternative<LiveNotReady>(*pull)) << "capture ended by itself";
      std::this_thread::sleep_for(5ms);
    }
  }
  ASSERT_FALSE(player.failed()) << "could not play to the private server";
  const std::size_t onset = testing::onset_of(output);
  ASSERT_GE(output.size() / 2, onset + kWanted + 4410) << "too little of the tone arrived";

  // Skip the first 100 ms of the tone, then 500 whole periods.
  for (int channel = 0; channel < 2; ++channel) {
    const auto [amplitude, residual_db] =
        testing::measure_tone(output, channel, 1000.0, 44100, onset + 4410, 22050);
    EXPECT_NEAR(amplitude, 0.5 * 32767, 0.5 * 32767 * 0.002) << "channel " << channel;
    EXPECT_LT(residual_db, -70.0) << "channel " << channel;
  }
  const CaptureTotals totals = capture_totals(*handle->stats);
  EXPECT_GT(totals.callbacks, 0u);
  EXPECT_EQ(totals.callbackErrors, 0u);
  EXPECT_EQ(totals.queueDrops, 0u);
  EXPECT_NEAR(static_cast<double>(totals.peak), 0.5 * 32767, 50.0);
  EXPECT_LT(handle->stats->max_callback_gap_us.load(), 1'000'000u);
}

TEST(PulseCapture, DroppingTheHandleClosesTheQueue) {
  REQUIRE_PULSE_SERVER();
  auto handle = start_loopback_capture(platform::default_audio_host());
  ASSERT_TRUE(handle.has_value()) << handle.error().describe();
  support::Receiver<CaptureChunk> queue = std::move(handle->queue);
  // The sink runs even in silence, so chunks keep coming.
  auto first = queue.recv_timeout(5s);
  ASSERT_TRUE(first.has_value()) << "no chunk within 5 s";
  EXPECT_EQ(first->sample_rate, 48000u);
  {
    CaptureHandle dropped = std::move(*handle);
  }

  const auto give_up = Clock::now() + 5s;
  support::RecvError last = support::RecvError::empty;
  while (Clock::now() < give_up) {
    auto chunk = queue.recv_timeout(100ms);
    if (!chunk) {
      last = chunk.error();
      if (last == support::RecvError::disconnected) break;
    }
  }
  EXPECT_EQ(last, support::RecvError::disconnected);
}

TEST(PulseCapture, MonoSinkThatGoesAwayEndsTheCapture) {
  REQUIRE_PULSE_SERVER();
  testing::TemporarySink sink("kestrune_gone", "KestruneGone",
                              "rate=44100 format=s16le channels=1");
  ASSERT_TRUE(sink.loaded());
  auto handle = start_loopback_capture(platform::default_audio_host());
  ASSERT_TRUE(handle.has_value()) << handle.error().describe();
  EXPECT_EQ(handle->device_name, "KestruneGone");
  EXPECT_EQ(handle->sample_format, "I16");
  EXPECT_EQ(handle->sample_rate, 44100u);
  EXPECT_EQ(handle->channels, 1u);  // the sink's one channel, which the capture puts on both

  {
    testing::TonePlayer player(440.0, 0.5);
    bool heard = false;
    const auto give_up = Clock::now() + 10s;
    while (!heard && Clock::now() < give_up) {
      auto chunk = handle->queue.recv_timeout(100ms);
      if (!chunk) continue;
      EXPECT_EQ(chunk->sample_rate, 44100u);
      for (std::size_t f = 0; f < 1024; ++f) {
        ASSERT_EQ(chunk->samples[2 * f], chunk->samples[2 * f + 1]);
        if (std::abs(chunk->samples[2 * f]) > 10000) heard = true;
      }
    }
    EXPECT_TRUE(heard) << "the tone never reached the mono sink's monitor";
  }

  ASSERT_TRUE(sink.remove());
  const auto give_up = Clock::now() + 5s;
  bool closed = false;
  while (!closed && Clock::now() < give_up) {
    auto chunk = handle->queue.recv_timeout(100ms);
    closed = !chunk && chunk.error() == support::RecvError::disconnected;
  }
  EXPECT_TRUE(closed) << "the queue stayed open after the sink went away";
  EXPECT_GE(handle->stats->callback_errors.load(), 1u);
}

// A surround sink's loopback capture is its front pair exactly: nothing of its centre, LFE or
// rear channels folded in, and the level the sink plays at.
struct SurroundCase {
  const char* name;
  std::vector<testing::ChannelTone> played;  // on the sink's channels, in its order
  testing::ChannelTone left;                 // what must arrive on left and right
  testing::ChannelTone right;
};

void PrintTo(const SurroundCase& c, std::ostream* out) { *out << c.name; }

class SurroundCapture : public ::testing::TestWithParam<SurroundCase> {};

constexpr std::uint32_t kSurroundRate = 48000;
// 100 ms to skip once the tone sets in, then half a second: whole periods of 1000 and 1500 Hz.
constexpr std::size_t kSurroundSettleFrames = 4800;
constexpr std::size_t kSurroundMeasuredFrames = 24000;

TEST_P(SurroundCapture, RecordsTheFrontPairAsItIs) {
  REQUIRE_PULSE_SERVER();
  const SurroundCase& c = GetParam();
  testing::TemporarySink sink(
      "kestrune_surround", "KestruneSurround",
      "rate=48000 format=float32le channels=6 "
      "channel_map=front-left,front-right,front-center,lfe,rear-left,rear-right");
  ASSERT_TRUE(sink.loaded());
  auto handle = start_loopback_capture(platform::default_audio_host());
  ASSERT_TRUE(handle.has_value()) << handle.error().describe();
  EXPECT_EQ(handle->device_name, "KestruneSurround");
  EXPECT_EQ(handle->channels, 2u);
  testing::TonePlayer player(c.played, kSurroundRate);

  // The capture's own chunks, at the sink's rate: no resampling between the sink and the test.
  std::vector<std::int16_t> stereo;
  const auto arrived = [&] {
    const std::size_t onset = testing::onset_of(stereo);
    return onset < stereo.size() / 2 &&
           stereo.size() / 2 - onset >= kSurroundSettleFrames + kSurroundMeasuredFrames;
  };
  const auto give_up = Clock::now() + 15s;
  while (!arrived() && Clock::now() < give_up && !player.failed()) {
    auto chunk = handle->queue.recv_timeout(100ms);
    if (chunk) stereo.insert(stereo.end(), chunk->samples.begin(), chunk->samples.end());
  }
  ASSERT_FALSE(player.failed()) << "could not play to the private server";
  ASSERT_TRUE(arrived()) << "too little of the tone arrived";

  const std::size_t begin = testing::onset_of(stereo) + kSurroundSettleFrames;
  const testing::ChannelTone* expected[2] = {&c.left, &c.right};
  for (int channel = 0; channel < 2; ++channel) {
    SCOPED_TRACE(channel == 0 ? "left" : "right");
    const testing::ChannelTone& tone = *expected[channel];
    if (tone.amplitude == 0) {
      int peak = 0;
      for (std::size_t f = begin; f < begin + kSurroundMeasuredFrames; ++f) {
        peak = std::max(peak, std::abs(static_cast<int>(stereo[2 * f + channel])));
      }
      EXPECT_EQ(peak, 0) << "a silent channel carries sound";
      continue;
    }
    const auto [amplitude, residual_db] = testing::measure_tone(
        stereo, channel, tone.frequency, kSurroundRate, begin, kSurroundMeasuredFrames);
    // Full scale is 32767 for captured float samples.
    EXPECT_NEAR(20 * std::log10(amplitude / (tone.amplitude * 32767)), 0.0, 0.01) << "dB off";
    EXPECT_LT(residual_db, -70.0);
  }
}

constexpr auto kFl = PA_CHANNEL_POSITION_FRONT_LEFT;
constexpr auto kFr = PA_CHANNEL_POSITION_FRONT_RIGHT;

INSTANTIATE_TEST_SUITE_P(
    FiveOne, SurroundCapture,
    ::testing::Values(SurroundCase{"front_left_only",
                                   {{kFl, 1000, 0.5},
                                    {kFr, 0, 0},
                                    {PA_CHANNEL_POSITION_FRONT_CENTER, 0, 0},
                                    {PA_CHANNEL_POSITION_LFE, 0, 0},
                                    {PA_CHANNEL_POSITION_REAR_LEFT, 0, 0},
                                    {PA_CHANNEL_POSITION_REAR_RIGHT, 0, 0}},
                                   {kFl, 1000, 0.5},
                                   {kFr, 0, 0}},
                      // Loud centre, LFE and rears beside a tone on the right only.
                      SurroundCase{"front_right_beside_loud_others",
                                   {{kFl, 0, 0},
                                    {kFr, 1500, 0.5},
                                    {PA_CHANNEL_POSITION_FRONT_CENTER, 1000, 0.5},
                                    {PA_CHANNEL_POSITION_LFE, 1000, 0.5},
                                    {PA_CHANNEL_POSITION_REAR_LEFT, 1000, 0.5},
                                    {PA_CHANNEL_POSITION_REAR_RIGHT, 1000, 0.5}},
                                   {kFl, 0, 0},
                                   {kFr, 1500, 0.5}}),
    [](const auto& test) { return std::string(test.param.name); });

// A server that has stopped answering holds a capture start only until the stop: the start gives
// up as stopped, not when its request times out.
TEST(PulseCapture, AStopEndsAStartThatAFrozenServerHolds) {
  REQUIRE_PULSE_SERVER();
  testing::FrozenServer frozen;
  ASSERT_TRUE(frozen.frozen());
  std::atomic<bool> stop{false};
  std::thread stopper([&] {
    std::this_thread::sleep_for(300ms);
    stop = true;
  });
  auto handle = start_loopback_capture(platform::default_audio_host(), &stop);
  stopper.join();
  ASSERT_FALSE(handle.has_value());
  EXPECT_EQ(handle.error().root_message(), "connect to the sound server: stopped");
}

}  // namespace
}  // namespace kestrune::engine
