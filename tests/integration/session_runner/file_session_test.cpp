// Whole sessions with a WAV file source against the loopback receiver: what the receiver gets
// (requests, sealed audio, sync packets, retransmissions), what the host is told (states,
// warnings, the terminal report), and the ways a file session ends.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/core/session_id.hpp"
#include "engine/core/session_lease.hpp"
#include "engine/core/session_report_merge.hpp"
#include "test-receiver/audio_account.hpp"
#include "test-receiver/session_accounts.hpp"
#include "test-receiver/session_routes.hpp"
#include "tests/integration/session_runner/runner_fixture.hpp"
#include "tests/support/captured_stderr.hpp"
#include "tests/support/temp_wav_file.hpp"

namespace kestrune::engine::testing {
namespace {

using kestrune::testing::read_sync_packet;
using kestrune::testing::TempWavFile;
using kestrune::testing::test_signal;

const ShutdownEvidence kCleanTeardown{CleanupOutcome::completed, CleanupOutcome::completed,
                                      RequestOutcome::succeeded, RequestOutcome::succeeded};

std::string body_text(const test_receiver::ReceivedRequest& request) {
  return {request.body.begin(), request.body.end()};
}

// Checks that the packets carry `signal` from its start, 352 frames each in sequence, the last
// one padded with silence.
void expect_stream_of(const std::vector<kestrune::testing::OpenedAudioPacket>& packets,
                      const std::vector<std::int16_t>& signal) {
  for (std::size_t i = 0; i < packets.size(); ++i) {
    SCOPED_TRACE("packet " + std::to_string(i));
    EXPECT_EQ(packets[i].first_byte, 0x80);
    EXPECT_EQ(packets[i].marker_byte, i == 0 ? 0xE0 : 0x60);
    EXPECT_EQ(packets[i].sequence_number, i);
    EXPECT_EQ(packets[i].timestamp, 352 * i);
    EXPECT_EQ(packets[i].ssrc, 0U);
    ASSERT_EQ(packets[i].samples.size(), 704U);
    for (std::size_t s = 0; s < 704; ++s) {
      const std::size_t at = 704 * i + s;
      const std::int16_t expected = at < signal.size() ? signal[at] : 0;
      if (packets[i].samples[s] != expected) {
        ADD_FAILURE() << "sample " << s << " is " << packets[i].samples[s] << ", not " << expected;
        break;
      }
    }
  }
}

class FileSession : public RunnerFixture {};

TEST_F(FileSession, PlaysTheWholeFileToTheReceiverAndEndsWithIt) {
  const std::vector<std::int16_t> signal = test_signal(150 * 352 + 100);  // 151 packets
  TempWavFile file(signal);
  test_support::CapturedStderr captured;
  ASSERT_NO_FATAL_FAILURE(start(config_for(AudioSource::file(file.path()))));
  const SessionTerminalRecord record = terminal();
  const SessionOutcome outcome = wait_and_join_session(*handle);
  const std::string stderr_text = captured.finish();

  // What the host is told.
  EXPECT_TRUE(record.completed());
  EXPECT_EQ(record.reason, TransitionReason::end_of_stream);
  EXPECT_EQ(log->states(), (States{{SessionState::starting, TransitionReason::start_requested},
                                   {SessionState::playing, TransitionReason::startup_complete},
                                   {SessionState::stopping, TransitionReason::end_of_stream},
                                   {SessionState::stopped, TransitionReason::cleanup_complete}}));
  ASSERT_TRUE(outcome.has_value());
  EXPECT_EQ(*outcome, record.report);
  const SessionMetrics& metrics = record.report.metrics;
  EXPECT_EQ(metrics.packetsPrepared, 151U);
  EXPECT_EQ(metrics.packetsSent, 151U);
  EXPECT_EQ(metrics.underrunSilencePackets, 0U);
  EXPECT_EQ(metrics.retransmitRequested, 0U);
  EXPECT_EQ(metrics.captureCallbacks, 0U);
  EXPECT_EQ(metrics.shutdownForcedStages, 0U);
  EXPECT_LT(metrics.shutdownElapsedMs, 10'000U);
  EXPECT_EQ(record.report.evidence, kCleanTeardown);
  EXPECT_FALSE(SessionLease::is_taken());
  // A file source writes no capture lines; the receiver's address never shows.
  EXPECT_EQ(stderr_text.find("stage=capture"), std::string::npos) << stderr_text;
  EXPECT_EQ(stderr_text.find("127.0.0.1"), std::string::npos) << stderr_text;

  // What the receiver got: the requests after RECORD, the initial volume of 0.5.
  EXPECT_EQ(methods_after_record(),
            (std::vector<std::string>{"FLUSH", "SET_PARAMETER", "FLUSH", "TEARDOWN"}));
  const auto volume = receiver->requests_with("SET_PARAMETER");
  ASSERT_EQ(volume.size(), 1U);
  EXPECT_EQ(body_text(volume[0]), "volume: -6.02\r\n");
  for (const auto& flush : receiver->requests_with("FLUSH")) {
    EXPECT_EQ(flush.header("RTP-Info"), "seq=0;rtptime=0");
  }

  // Every packet, sealed with the key the receiver derived, in order.
  ASSERT_TRUE(receiver->endpoints().wait_for_datagrams(UdpEndpoint::data, 151, 2s));
  const auto packets = audio_packets();
  ASSERT_EQ(packets.size(), 151U);
  expect_stream_of(packets, signal);

  // Sync packets at the control port: with the first packet and with the 127th.
  const auto control = receiver->endpoints().datagrams(UdpEndpoint::control);
  ASSERT_EQ(control.size(), 2U);
  const auto first = read_sync_packet(control[0].bytes);
  const auto second = read_sync_packet(control[1].bytes);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->first_byte, 0x90);
  EXPECT_EQ(first->marker_byte, 0xD4);
  EXPECT_EQ(first->sequence_number, 0);
  EXPECT_EQ(first->timestamp, 0U);
  EXPECT_EQ(first->timestamp_again, 0U);
  EXPECT_EQ(second->first_byte, 0x80);
  EXPECT_EQ(second->sequence_number, 1);
  EXPECT_EQ(second->timestamp, 126U * 352U);
  EXPECT_EQ(second->timestamp_again, 126U * 352U);
}

TEST_F(FileSession, AMaximumDurationCutsTheFileAndEndsAsElapsed) {
  const std::vector<std::int16_t> signal = test_signal(44'100);  // 1 s
  TempWavFile file(signal);
  SessionConfig config = config_for(AudioSource::file(file.path()));
  config.maxDuration = 300ms;  // 13,230 frames: 37 whole packets and 206 frames
  ASSERT_NO_FATAL_FAILURE(start(std::move(config)));
  const SessionTerminalRecord record = terminal();
  EXPECT_TRUE(record.completed());
  EXPECT_EQ(record.reason, TransitionReason::duration_elapsed);
  EXPECT_EQ(log->states(), (States{{SessionState::starting, TransitionReason::start_requested},
                                   {SessionState::playing, TransitionReason::startup_complete},
                                   {SessionState::stopping, TransitionReason::duration_elapsed},
                                   {SessionState::stopped, TransitionReason::cleanup_complete}}));
  EXPECT_EQ(record.report.metrics.packetsSent, 38U);
  ASSERT_TRUE(receiver->endpoints().wait_for_datagrams(UdpEndpoint::data, 38, 2s));
  const auto packets = audio_packets();
  ASSERT_EQ(packets.size(), 38U);
  expect_stream_of(packets, {signal.begin(), signal.begin() + 2 * 13'230});
}

TEST_F(FileSession, AStopWhilePlayingEndsItPromptlyAndVolumeChangesReachTheReceiver) {
  const std::vector<std::int16_t> signal = test_signal(5 * 44'100);
  TempWavFile file(signal);
  ASSERT_NO_FATAL_FAILURE(start(config_for(AudioSource::file(file.path()))));
  ASSERT_TRUE(log->wait_for_state(SessionState::playing));
  ASSERT_TRUE(receiver->endpoints().wait_for_datagrams(UdpEndpoint::data, 20, 5s));
  EXPECT_TRUE(set_session_volume(*handle, 0.25F));
  ASSERT_TRUE(
      wait_until([&] { return receiver->requests_with("SET_PARAMETER").size() == 2; }, 10s));

  const auto stop_at = Clock::now();
  const SessionOutcome outcome = stop();
  EXPECT_LT(Clock::now() - stop_at, 3s);
  const SessionTerminalRecord record = terminal();
  ASSERT_TRUE(outcome.has_value());
  EXPECT_TRUE(record.completed());
  EXPECT_EQ(record.reason, TransitionReason::stop_requested);
  EXPECT_EQ(log->states(), (States{{SessionState::starting, TransitionReason::start_requested},
                                   {SessionState::playing, TransitionReason::startup_complete},
                                   {SessionState::stopping, TransitionReason::stop_requested},
                                   {SessionState::stopped, TransitionReason::cleanup_complete}}));
  EXPECT_EQ(record.report.evidence, kCleanTeardown);

  const auto volumes = receiver->requests_with("SET_PARAMETER");
  ASSERT_EQ(volumes.size(), 2U);
  EXPECT_EQ(body_text(volumes[1]), "volume: -12.04\r\n");
  EXPECT_EQ(
      methods_after_record(),
      (std::vector<std::string>{"FLUSH", "SET_PARAMETER", "SET_PARAMETER", "FLUSH", "TEARDOWN"}));

  // What was queued before the stop still went out, in order, and the rest of the file did not.
  const std::uint64_t sent = record.report.metrics.packetsSent;
  ASSERT_TRUE(receiver->endpoints().wait_for_datagrams(UdpEndpoint::data, sent, 2s));
  const auto packets = audio_packets();
  EXPECT_EQ(packets.size(), sent);
  EXPECT_LT(sent, signal.size() / 704);
  expect_stream_of(packets, signal);
}

TEST_F(FileSession, RetransmissionRequestsAreAnsweredFromTheHistory) {
  TempWavFile file(test_signal(3 * 44'100));
  ASSERT_NO_FATAL_FAILURE(start(config_for(AudioSource::file(file.path()))));
  ASSERT_TRUE(receiver->endpoints().wait_for_datagrams(UdpEndpoint::data, 40, 5s));
  const auto setups = receiver->requests_with("SETUP");
  ASSERT_EQ(setups.size(), 2U);
  const auto sender_control_port = test_receiver::announced_sender_port(setups[1]);
  ASSERT_TRUE(sender_control_port);
  const auto to_sender = platform::SocketAddress::of({127, 0, 0, 1}, *sender_control_port);

  // Packets 5 and 6, then a request of a length no form has.
  const std::vector<std::uint8_t> request = {0x80, 0xD5, 0x00, 0x01, 0x00, 0x05, 0x00, 0x02};
  const std::vector<std::uint8_t> malformed = {0x80, 0xD5, 0, 1, 0, 5, 0, 2, 0, 0};
  ASSERT_TRUE(receiver->endpoints().send_from(UdpEndpoint::control, request, to_sender));
  ASSERT_TRUE(receiver->endpoints().send_from(UdpEndpoint::control, malformed, to_sender));

  const auto replies = [&] {
    std::vector<std::vector<std::uint8_t>> found;
    for (const auto& datagram : receiver->endpoints().datagrams(UdpEndpoint::control)) {
      if (datagram.bytes.size() > 4 && datagram.bytes[1] == 0xD6) found.push_back(datagram.bytes);
    }
    return found;
  };
  ASSERT_TRUE(wait_until([&] { return replies().size() >= 2; }, 10s));
  const auto answered = replies();
  ASSERT_EQ(answered.size(), 2U);
  const auto data = receiver->endpoints().datagrams(UdpEndpoint::data);
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE("reply " + std::to_string(i));
    EXPECT_EQ(answered[i][0], 0x80);
    EXPECT_EQ(kestrune::testing::be16(answered[i], 2), 5 + i);
    const std::vector<std::uint8_t> resent(answered[i].begin() + 4, answered[i].end());
    EXPECT_EQ(resent, data[5 + i].bytes);  // byte for byte as first sent
  }

  (void)stop();
  const SessionTerminalRecord record = terminal();
  EXPECT_TRUE(record.completed());
  EXPECT_EQ(record.report.metrics.retransmitRequested, 2U);
  EXPECT_EQ(record.report.metrics.retransmitFulfilled, 2U);
  EXPECT_EQ(test_receiver::take_audio_account(*receiver, receiver->connections().back(), 2)
                .retransmissions_answered,
            2U);
  const auto warnings = log->warnings();
  ASSERT_EQ(warnings.size(), 1U);
  EXPECT_EQ(warnings[0].code, WarningCode::retransmit_malformed);
  EXPECT_EQ(warnings[0].stage, SessionStage::control);
  EXPECT_FALSE(warnings[0].retryable);
}

// The receiver's own account of a whole file session (what the demo prints): every packet arrived
// and opened in sequence, and the audio is the file's samples padded to whole packets; one sample
// changed in the expected audio shows as the frame where they differ.
TEST_F(FileSession, TheReceiversAccountHoldsExactlyTheFile) {
  const std::vector<std::int16_t> signal = test_signal(30 * 352 + 100);  // 31 packets
  TempWavFile file(signal);
  ASSERT_NO_FATAL_FAILURE(start(config_for(AudioSource::file(file.path()))));
  ASSERT_TRUE(terminal().completed());
  const auto session = receiver->connections().back();
  const test_receiver::AudioAccount account =
      test_receiver::take_audio_account(*receiver, session, 0);
  EXPECT_EQ(account.session, 1U);
  EXPECT_EQ(account.packets_received, 31U);
  EXPECT_EQ(account.sequence_gaps, 0U);
  EXPECT_EQ(account.decrypt_failures, 0U);
  EXPECT_EQ(account.retransmissions_answered, 0U);
  EXPECT_EQ(account.volume_db, "-6.02");
  EXPECT_EQ(account.samples.size(), 31U * 704U);
  EXPECT_EQ(account.samples, test_receiver::padded_to_packets(signal));

  const auto lines = test_receiver::describe_audio_account(account, signal);
  ASSERT_EQ(lines.size(), 12U);
  EXPECT_EQ(
      std::vector<std::string>(lines.begin(), lines.begin() + 6),
      (std::vector<std::string>{"account 1 packets_received=31", "account 1 sequence_gaps=0",
                                "account 1 decrypt_failures=0",
                                "account 1 retransmissions_answered=0 of 0 requested",
                                "account 1 volume_db=-6.02", "account 1 sounding_packets=31"}));
  EXPECT_EQ(lines[10], "account 1 audio=matches frames=10912 expected_frames=10912");
  EXPECT_EQ(lines[11], "account 1 end");
  std::vector<std::int16_t> changed = signal;
  changed[2 * 1000 + 1] += 1;
  EXPECT_EQ(
      test_receiver::describe_audio_account(account, changed)[10],
      "account 1 audio=differs first_differing_frame=1000 frames=10912 expected_frames=10912");
}

// One receiver, two sessions in a row, followed as the receiver's executable follows them: each
// session is asked for its own retransmissions and gets an account of its own packets only,
// opened with its own pairing's key.
TEST_F(FileSession, EachOfTwoSessionsInARowGetsItsOwnAccount) {
  const std::vector<std::vector<std::int16_t>> signals = {test_signal(2 * 44'100),
                                                          test_signal(3 * 44'100, 7)};
  test_receiver::SessionAccounts accounts(*receiver, signals);
  std::vector<std::string> lines;
  for (std::size_t session = 1; session <= signals.size(); ++session) {
    SCOPED_TRACE("session " + std::to_string(session));
    TempWavFile file(signals[session - 1]);
    ASSERT_NO_FATAL_FAILURE(start(config_for(AudioSource::file(file.path()))));
    const std::string end = "account " + std::to_string(session) + " end";
    ASSERT_TRUE(wait_until(
        [&] {
          const auto more = accounts.follow();
          lines.insert(lines.end(), more.begin(), more.end());
          return std::find(lines.begin(), lines.end(), end) != lines.end();
        },
        60s));
    EXPECT_TRUE(stop().has_value());  // it played to its end
    handle.reset();
    log.reset();
  }
  EXPECT_TRUE(accounts.all_audio_matched());
  const auto has = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  for (const char* session : {"1", "2"}) {
    const std::string prefix = std::string("account ") + session + " ";
    EXPECT_TRUE(has(prefix + "sequence_gaps=0"));
    EXPECT_TRUE(has(prefix + "decrypt_failures=0"));
    EXPECT_TRUE(has(prefix + "retransmissions_answered=2 of 2 requested"));
  }
  EXPECT_TRUE(has("account 1 packets_received=251"));
  EXPECT_TRUE(has("account 1 audio=matches frames=88352 expected_frames=88352"));
  EXPECT_TRUE(has("account 2 packets_received=376"));
  EXPECT_TRUE(has("account 2 audio=matches frames=132352 expected_frames=132352"));
}

TEST_F(FileSession, MetricsArePublishedWhilePlaying) {
  // 20 s: the session is still playing when the report has been published twice, however slowly
  // the machine runs; it is stopped then.
  TempWavFile file(test_signal(20 * 44'100));
  ASSERT_NO_FATAL_FAILURE(start(config_for(AudioSource::file(file.path()))));
  ASSERT_TRUE(log->wait_for_state(SessionState::playing));
  // The report is published once a second while playing: the live snapshot moves on with the
  // stream, and each publication is a metrics event.
  SessionReport live;
  EXPECT_TRUE(wait_until(
      [&] {
        live = snapshot_session_report(*handle->shared());
        return log->metrics_events() >= 2 && live.metrics.packetsPrepared > 100U &&
               live.metrics.packetsSent > 90U;
      },
      15s))
      << "prepared " << live.metrics.packetsPrepared << ", sent " << live.metrics.packetsSent
      << ", " << log->metrics_events() << " metrics events";
  EXPECT_EQ(log->states().back().first, SessionState::playing);
  (void)stop();
  EXPECT_TRUE(terminal().completed());
}

TEST_F(FileSession, AStopBeforeTheRunnerBeginsOpensNothing) {
  TempWavFile file(test_signal(1000));
  auto shared = make_session_shared(make_session_id().value(), 0.5F);
  request_session_stop(*shared, false);
  kestrune::testing::FakeAudioHost unused_audio({});
  EXPECT_EQ(run_managed_session(config_for(AudioSource::file(file.path())), shared, unused_audio),
            (SessionError{SessionErrorKind::cancelled, SessionStage::shutdown, false}));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(receiver->connections_accepted(), 0U);
  EXPECT_EQ(shared->live_report.lock()->evidence, ShutdownEvidence{});
}

}  // namespace
}  // namespace kestrune::engine::testing
