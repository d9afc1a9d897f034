// Whole sessions with loopback capture from a fake audio host: the capture's start and its
// counters, the live loop's silence and audio at the receiver, the drain on a stop, and a capture
// that cannot start.

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "tests/integration/session_runner/runner_fixture.hpp"
#include "tests/support/captured_stderr.hpp"
#include "tests/support/wait_until.hpp"

namespace kestrune::engine::testing {
namespace {

using kestrune::testing::FakeAudioHost;
using kestrune::testing::FakeDeviceScript;
using kestrune::testing::test_signal;

FakeDeviceScript i16_device() {
  FakeDeviceScript script;
  script.config = platform::OutputConfig{platform::SampleFormat::i16, 44100, 2};
  return script;
}

bool silent(const kestrune::testing::OpenedAudioPacket& packet) {
  return std::all_of(packet.samples.begin(), packet.samples.end(),
                     [](std::int16_t s) { return s == 0; });
}

class LiveSession : public RunnerFixture {};

TEST_F(LiveSession, PlaysWhatTheDevicePlaysAndDrainsWhenStopped) {
  auto host = std::make_shared<FakeAudioHost>(i16_device());
  SessionConfig config = config_for(AudioSource::default_output());
  config.bufferProfile.startMaxWait = 100ms;
  // The audio comes faster than real time; a second's buffer holds all of it, so none is dropped.
  config.bufferProfile.capacityMs = 1000;
  test_support::CapturedStderr captured;
  ASSERT_NO_FATAL_FAILURE(start(std::move(config), std::make_unique<FakeAudioRunner>(host)));
  ASSERT_TRUE(log->wait_for_state(SessionState::playing));
  ASSERT_TRUE(host->stream->played);

  // Nothing plays at first: the receiver gets silence at the sender's pace.
  ASSERT_TRUE(receiver->endpoints().wait_for_datagrams(UdpEndpoint::data, 10, 5s));
  // Then 30 buffers of 1024 frames, a little faster than real time.
  constexpr std::size_t kBuffers = 30;
  const std::vector<std::int16_t> signal = test_signal(kBuffers * 1024);
  for (std::size_t i = 0; i < kBuffers; ++i) {
    ASSERT_TRUE(
        host->stream->deliver(std::span<const std::int16_t>(signal).subspan(i * 2048, 2048)));
    std::this_thread::sleep_for(15ms);
  }
  // The stop comes once all but the last 40 packets of the audio have arrived, so the drain has
  // at most those to send: 320 ms of audio at the sender's pace, well inside its 750 ms, however
  // far a loaded machine let the stream fall behind the deliveries.
  constexpr std::size_t kLeftForTheDrain = 40;
  const std::size_t whole = kBuffers * 1024 / 352;
  ASSERT_TRUE(kestrune::testing::wait_until(
      [&] {
        std::this_thread::sleep_for(10ms);
        const auto arrived = audio_packets();
        return static_cast<std::size_t>(std::count_if(arrived.begin(), arrived.end(), [](auto& p) {
                 return !silent(p);
               })) >= whole - kLeftForTheDrain;
      },
      30s));
  const SessionOutcome outcome = stop();
  const std::string stderr_text = captured.finish();
  const SessionTerminalRecord record = terminal();

  ASSERT_TRUE(outcome.has_value());
  EXPECT_TRUE(record.completed());
  EXPECT_EQ(record.reason, TransitionReason::stop_requested);
  EXPECT_EQ(log->states(), (States{{SessionState::starting, TransitionReason::start_requested},
                                   {SessionState::playing, TransitionReason::startup_complete},
                                   {SessionState::draining, TransitionReason::stop_requested},
                                   {SessionState::stopping, TransitionReason::stop_requested},
                                   {SessionState::stopped, TransitionReason::cleanup_complete}}));
  EXPECT_TRUE(host->stream->destroyed);
  EXPECT_NE(stderr_text.find("stage=capture device_present=true sample_rate=44100 channels=2 "
                             "sample_format=I16\n"),
            std::string::npos)
      << stderr_text;
  EXPECT_NE(stderr_text.find("stage=capture_summary callback_gap_max_us="), std::string::npos)
      << stderr_text;

  const SessionMetrics& metrics = record.report.metrics;
  EXPECT_EQ(metrics.captureCallbacks, kBuffers);
  EXPECT_EQ(metrics.captureChunks, kBuffers);
  EXPECT_EQ(metrics.captureFrames, kBuffers * 1024);
  EXPECT_EQ(metrics.captureQueueDrops, 0U);
  EXPECT_EQ(metrics.captureMaxAbs, 1000U);
  EXPECT_GT(metrics.captureRms, 0.0);
  EXPECT_EQ(record.report.evidence,
            (ShutdownEvidence{CleanupOutcome::completed, CleanupOutcome::completed,
                              RequestOutcome::succeeded, RequestOutcome::succeeded}));

  // At the receiver: silence first, then the device's audio in order, every silent packet
  // counted as an underrun.
  ASSERT_TRUE(receiver->endpoints().wait_for_datagrams(UdpEndpoint::data, metrics.packetsSent, 2s));
  const auto packets = audio_packets();
  ASSERT_EQ(packets.size(), metrics.packetsSent);
  std::vector<std::int16_t> audio;
  std::size_t silences = 0;
  for (const auto& packet : packets) {
    if (silent(packet)) {
      ++silences;
    } else {
      audio.insert(audio.end(), packet.samples.begin(), packet.samples.end());
    }
  }
  ASSERT_GE(packets.size(), 1U);
  EXPECT_TRUE(silent(packets[0]));
  EXPECT_EQ(metrics.underrunSilencePackets, silences);
  // Every whole packet of the delivered audio arrived; the last partial one was dropped.
  ASSERT_EQ(audio.size(), whole * 704);
  EXPECT_TRUE(std::equal(audio.begin(), audio.end(), signal.begin()));
}

TEST_F(LiveSession, ACaptureThatCannotStartFailsTheSessionBeforeItPlays) {
  FakeDeviceScript script;
  script.has_device = false;
  auto host = std::make_shared<FakeAudioHost>(script);
  test_support::CapturedStderr captured;
  ASSERT_NO_FATAL_FAILURE(
      start(config_for(AudioSource::default_output()), std::make_unique<FakeAudioRunner>(host)));
  const SessionTerminalRecord record = terminal();
  const std::string stderr_text = captured.finish();
  EXPECT_EQ(record.error,
            (SessionError{SessionErrorKind::capture_failed, SessionStage::capture, true}));
  EXPECT_EQ(log->states(), (States{{SessionState::starting, TransitionReason::start_requested},
                                   {SessionState::failed, TransitionReason::failure},
                                   {SessionState::stopping, TransitionReason::failure},
                                   {SessionState::stopped, TransitionReason::cleanup_complete}}));
  EXPECT_EQ(stderr_text.find("stage=capture"), std::string::npos) << stderr_text;
  // The workers had started; they are stopped and the receiver gets its teardown.
  EXPECT_EQ(record.report.evidence,
            (ShutdownEvidence{CleanupOutcome::completed, CleanupOutcome::completed,
                              RequestOutcome::succeeded, RequestOutcome::succeeded}));
  EXPECT_EQ(methods_after_record(),
            (std::vector<std::string>{"FLUSH", "SET_PARAMETER", "FLUSH", "TEARDOWN"}));
  EXPECT_EQ(receiver->endpoints().datagram_count(UdpEndpoint::data), 0U);
}

// A capture start that waits for a sound server which does not answer: the stop is the session's
// answer, not the server's, and it ends as a stop before playing does.
TEST_F(LiveSession, AStopWhileTheCaptureStartsWaitsForNoServer) {
  FakeDeviceScript script;
  script.hangs_until_stopped = true;
  auto host = std::make_shared<FakeAudioHost>(script);
  ASSERT_NO_FATAL_FAILURE(
      start(config_for(AudioSource::default_output()), std::make_unique<FakeAudioRunner>(host)));
  ASSERT_TRUE(wait_until([&] { return host->waiting.load(); }, 20s));
  const SessionOutcome outcome = stop();
  const SessionTerminalRecord record = terminal();
  expect_cancelled_before_playing(outcome, record);
  EXPECT_FALSE(host->stream->built);
  EXPECT_EQ(methods_after_record(),
            (std::vector<std::string>{"FLUSH", "SET_PARAMETER", "FLUSH", "TEARDOWN"}));
}

}  // namespace
}  // namespace kestrune::engine::testing
