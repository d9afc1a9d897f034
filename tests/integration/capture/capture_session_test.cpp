// Whole sessions through the real capture path: the private sound server's default sink, set up
// the way real machines have it, captured and streamed by the production runner to the loopback
// receiver, whose audio packets are opened and measured. And a server that stops answering while
// the capture starts.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/integration/capture/pulse_server.hpp"
#include "tests/integration/capture/tone_analysis.hpp"
#include "tests/integration/session_runner/runner_fixture.hpp"
#include "tests/support/captured_stderr.hpp"

namespace kestrune::engine::testing {
namespace {

using kestrune::testing::ChannelTone;
using kestrune::testing::TemporarySink;
using kestrune::testing::TonePlayer;

constexpr auto kFrontLeft = PA_CHANNEL_POSITION_FRONT_LEFT;
constexpr auto kFrontRight = PA_CHANNEL_POSITION_FRONT_RIGHT;

// What one channel of the stream must carry: a tone of this frequency, at this amplitude (full
// scale 1) within the tolerance, and next to nothing else; or, for amplitude 0, nothing at all.
struct ExpectedTone {
  double frequency;
  double amplitude;
  double tolerance;    // relative
  double residual_db;  // everything that is not the tone, relative to the whole channel
};
constexpr ExpectedTone kSilent{0, 0, 0, 0};
// 10^(0.01 / 20) - 1.
constexpr double kHundredthOfADecibel = 0.00115;

struct SinkCase {
  const char* name;
  const char* options;  // module-null-sink's
  std::uint32_t rate;   // the sink's, at which the tones are played
  std::vector<ChannelTone> played;
  const char* stage_line;  // what the session reports of the stream it records
  ExpectedTone left;
  ExpectedTone right;
};

void PrintTo(const SinkCase& c, std::ostream* out) { *out << c.name; }

constexpr double kFrequency = 1000.0;
constexpr double kRightFrequency = 1500.0;
constexpr double kAmplitude = 0.5;

std::vector<SinkCase> sink_cases() {
  const ExpectedTone exact{kFrequency, kAmplitude, 0.002, -70.0};
  return {
      {"s32le_48k",
       "rate=48000 format=s32le channels=2",
       48000,
       {{kFrontLeft, kFrequency, kAmplitude}, {kFrontRight, kFrequency, kAmplitude}},
       "stage=capture device_present=true sample_rate=48000 channels=2 sample_format=F32\n",
       exact,
       exact},
      {"s24le_96k",
       "rate=96000 format=s24le channels=2",
       96000,
       {{kFrontLeft, kFrequency, kAmplitude}, {kFrontRight, kFrequency, kAmplitude}},
       "stage=capture device_present=true sample_rate=96000 channels=2 sample_format=F32\n",
       exact,
       exact},
      // The sink's first two channels are front-left and front-left-of-center; the tones play on
      // front-left and front-right only, and arrive on left and right as they are.
      {"six_channels",
       "rate=48000 format=float32le channels=6 "
       "channel_map=front-left,front-left-of-center,front-center,front-right,"
       "front-right-of-center,rear-center",
       48000,
       {{kFrontLeft, kFrequency, kAmplitude},
        {PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER, 0, 0},
        {PA_CHANNEL_POSITION_FRONT_CENTER, 0, 0},
        {kFrontRight, kRightFrequency, kAmplitude},
        {PA_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER, 0, 0},
        {PA_CHANNEL_POSITION_REAR_CENTER, 0, 0}},
       "stage=capture device_present=true sample_rate=48000 channels=2 sample_format=F32\n",
       exact,
       {kRightFrequency, kAmplitude, 0.002, -70.0}},
      // 5.1 at 44100 Hz, so nothing is resampled: the front-left tone arrives at its level within
      // 0.01 dB, and the right, silent on the sink, stays silent.
      {"five_one_44k",
       "rate=44100 format=float32le channels=6 "
       "channel_map=front-left,front-right,front-center,lfe,rear-left,rear-right",
       44100,
       {{kFrontLeft, kFrequency, kAmplitude},
        {kFrontRight, 0, 0},
        {PA_CHANNEL_POSITION_FRONT_CENTER, 0, 0},
        {PA_CHANNEL_POSITION_LFE, 0, 0},
        {PA_CHANNEL_POSITION_REAR_LEFT, 0, 0},
        {PA_CHANNEL_POSITION_REAR_RIGHT, 0, 0}},
       "stage=capture device_present=true sample_rate=44100 channels=2 sample_format=F32\n",
       {kFrequency, kAmplitude, kHundredthOfADecibel, -70.0},
       kSilent},
  };
}

class CaptureSession : public RunnerFixture, public ::testing::WithParamInterface<SinkCase> {};

// 100 ms to skip after the tone sets in, then half a second to measure (whole periods of both
// frequencies at 44100 Hz).
constexpr std::size_t kSettleFrames = 4410;
constexpr std::size_t kMeasuredFrames = 22050;

TEST_P(CaptureSession, StreamsTheSinksToneOnItsChannels) {
  REQUIRE_PULSE_SERVER();
  const SinkCase& c = GetParam();
  TemporarySink sink(std::string("kestrune_") + c.name, "KestruneCase", c.options);
  ASSERT_TRUE(sink.loaded());
  TonePlayer player(c.played, c.rate);

  SessionConfig config = config_for(AudioSource::default_output());
  // A buffer of a second, so a loaded machine neither starves the stream nor drops from it while
  // the tone is measured; and time to fill it, as a null sink's monitor delivers its first audio
  // only a second or more after the capture starts.
  config.bufferProfile.capacityMs = 1000;
  config.bufferProfile.startMaxWait = 4s;
  test_support::CapturedStderr captured;
  ASSERT_NO_FATAL_FAILURE(start(std::move(config)));
  ASSERT_TRUE(log->wait_for_state(SessionState::playing));
  // Enough packets for the start, the settling and several measuring windows.
  ASSERT_TRUE(receiver->endpoints().wait_for_datagrams(UdpEndpoint::data, 400, 30s));
  const SessionOutcome outcome = stop();
  const std::string stderr_text = captured.finish();
  ASSERT_FALSE(player.failed()) << "could not play to the private server";
  ASSERT_TRUE(outcome.has_value());
  EXPECT_NE(stderr_text.find(c.stage_line), std::string::npos) << stderr_text;

  const auto packets = audio_packets();  // in the order sent: loopback keeps it
  std::vector<std::int16_t> stereo;
  for (const auto& packet : packets) {
    stereo.insert(stereo.end(), packet.samples.begin(), packet.samples.end());
  }
  const std::size_t onset = kestrune::testing::onset_of(stereo);
  ASSERT_GE(stereo.size() / 2, onset + kSettleFrames + kMeasuredFrames)
      << "too little of the tone arrived";

  // The cleanest half second of what arrived is measured: on a loaded machine the tone player
  // itself may miss a deadline of the sound server and leave a gap in the sink, which says
  // nothing of the capture. A wrong format, channel or level spoils every window alike.
  const ExpectedTone* expected[2] = {&c.left, &c.right};
  using kestrune::testing::MeasuredTone;
  std::array<MeasuredTone, 2> best{};
  double best_worst_residual = 0;
  bool measured_any = false;
  for (std::size_t begin = onset + kSettleFrames; begin + kMeasuredFrames <= stereo.size() / 2;
       begin += kMeasuredFrames / 2) {
    // A silent channel has no tone to measure and takes no part in picking the window.
    std::array<MeasuredTone, 2> window{{{0, -1000}, {0, -1000}}};
    for (int channel = 0; channel < 2; ++channel) {
      if (expected[channel]->amplitude == 0) continue;
      window[channel] = kestrune::testing::measure_tone(
          stereo, channel, expected[channel]->frequency, 44100, begin, kMeasuredFrames);
    }
    const double worst = std::max(window[0].residual_db, window[1].residual_db);
    if (!measured_any || worst < best_worst_residual) {
      best = window;
      best_worst_residual = worst;
      measured_any = true;
    }
  }
  ASSERT_TRUE(measured_any);
  for (int channel = 0; channel < 2; ++channel) {
    SCOPED_TRACE(channel == 0 ? "left" : "right");
    const ExpectedTone& tone = *expected[channel];
    if (tone.amplitude == 0) {
      int peak = 0;
      for (std::size_t f = onset + kSettleFrames; f < stereo.size() / 2; ++f) {
        peak = std::max(peak, std::abs(static_cast<int>(stereo[2 * f + channel])));
      }
      EXPECT_EQ(peak, 0) << "a silent channel carries sound";
      continue;
    }
    EXPECT_NEAR(best[channel].amplitude / 32767, tone.amplitude, tone.amplitude * tone.tolerance);
    EXPECT_LT(best[channel].residual_db, tone.residual_db);
  }
}

INSTANTIATE_TEST_SUITE_P(Sinks, CaptureSession, ::testing::ValuesIn(sink_cases()),
                         [](const auto& test) { return std::string(test.param.name); });

class FrozenServerSession : public RunnerFixture {};

// The server is frozen before the session starts: the capture start waits for it in vain, and a
// stop then is answered at once, as a stop before playing (before, the stop waited for the start's
// 5 s request timeout).
TEST_F(FrozenServerSession, AStopDuringTheCaptureStartIsAnsweredAtOnce) {
  REQUIRE_PULSE_SERVER();
  kestrune::testing::FrozenServer frozen;
  ASSERT_TRUE(frozen.frozen());
  ASSERT_NO_FATAL_FAILURE(start(config_for(AudioSource::default_output())));
  // The initial volume is the last request before the workers and then the capture start.
  ASSERT_TRUE(wait_until(
      [&] {
        const auto after = methods_after_record();
        return std::find(after.begin(), after.end(), "SET_PARAMETER") != after.end();
      },
      20s));
  std::this_thread::sleep_for(500ms);
  const auto stopped_at = Clock::now();
  const SessionOutcome outcome = stop();
  const auto answered_in = Clock::now() - stopped_at;
  const SessionTerminalRecord record = terminal();

  EXPECT_LT(answered_in, 2500ms);
  expect_cancelled_before_playing(outcome, record);
}

}  // namespace
}  // namespace kestrune::engine::testing
