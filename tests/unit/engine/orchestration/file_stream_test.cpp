// The file stream loop over samples in memory and over files: packets of 352 frames padded with
// silence at the end, the duration's frame limit, and what ends the loop before a packet.

#include "engine/orchestration/file_stream.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <thread>
#include <vector>

#include "engine/core/session_events.hpp"
#include "engine/core/session_handle.hpp"
#include "engine/core/session_mailbox.hpp"
#include "tests/support/audio_packets.hpp"
#include "tests/support/temp_wav_file.hpp"
#include "tests/unit/engine/orchestration/stream_rig.hpp"

namespace kestrune::engine::testing {
namespace {

using kestrune::testing::test_signal;
using std::chrono::nanoseconds;

TEST(WavFrameLimit, IsTheDurationInFramesTowardZero) {
  struct Case {
    std::optional<nanoseconds> duration;
    std::uint64_t frames;
  };
  const Case cases[] = {
      {std::nullopt, std::numeric_limits<std::uint64_t>::max()},
      {10ms, 441},
      {1s, 44'100},
      {nanoseconds(22'675), 0},        // 0.99996 frames
      {nanoseconds(22'676), 1},        // 1.00001 frames
      {nanoseconds(15'963'719), 704},  // two packets' worth, just above
      {std::chrono::hours(1), 158'760'000},
      {nanoseconds(-5), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.duration ? std::to_string(c.duration->count()) : "none");
    EXPECT_EQ(wav_frame_limit(c.duration), c.frames);
  }
}

struct PacketCase {
  const char* name;
  std::size_t frames;                       // in the file
  std::optional<nanoseconds> max_duration;  // none: unlimited
  std::vector<std::size_t> audio_frames;    // frames of audio in each packet sent
  TransitionReason reason;
};

void PrintTo(const PacketCase& c, std::ostream* os) { *os << c.name; }

class FileStreamPackets : public ::testing::TestWithParam<PacketCase> {};

TEST_P(FileStreamPackets, CutsTheFileIntoPaddedPackets) {
  const PacketCase& c = GetParam();
  StreamRig rig;
  const std::vector<std::int16_t> file = test_signal(c.frames);
  StreamContext context = rig.context();
  const StreamOutcome outcome = stream_wav_samples(file, c.max_duration, context);
  ASSERT_TRUE(outcome) << static_cast<int>(outcome.error().code);
  EXPECT_EQ(*outcome, c.reason);
  rig.close_channel();

  const auto packets = rig.opened_packets();
  ASSERT_EQ(packets.size(), c.audio_frames.size());
  std::size_t frame = 0;
  for (std::size_t i = 0; i < packets.size(); ++i) {
    SCOPED_TRACE("packet " + std::to_string(i));
    EXPECT_EQ(packets[i].sequence_number, i);
    EXPECT_EQ(packets[i].timestamp, 352 * i);
    EXPECT_EQ(packets[i].marker_byte, i == 0 ? 0xE0 : 0x60);
    ASSERT_EQ(packets[i].samples.size(), 704U);
    const std::size_t audio = c.audio_frames[i];
    const std::vector<std::int16_t> expected_audio = test_signal(audio, frame);
    EXPECT_TRUE(
        std::equal(expected_audio.begin(), expected_audio.end(), packets[i].samples.begin()));
    EXPECT_TRUE(std::all_of(packets[i].samples.begin() + static_cast<std::ptrdiff_t>(2 * audio),
                            packets[i].samples.end(), [](std::int16_t s) { return s == 0; }));
    frame += audio;
  }
  EXPECT_EQ(rig.stats->packetsPrepared.load(), packets.size());
  EXPECT_EQ(rig.stats->underrunSilencePackets.load(), 0U);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, FileStreamPackets,
    ::testing::Values(
        PacketCase{"ExactPackets", 704, std::nullopt, {352, 352}, TransitionReason::end_of_stream},
        PacketCase{
            "OneFrameOver", 705, std::nullopt, {352, 352, 1}, TransitionReason::end_of_stream},
        PacketCase{"OneFrameFile", 1, std::nullopt, {1}, TransitionReason::end_of_stream},
        PacketCase{
            "TenMillisecondsCutAt441", 2000, 10ms, {352, 89}, TransitionReason::duration_elapsed},
        PacketCase{"DurationOfExactlyTwoPackets",
                   2000,
                   nanoseconds(15'963'719),
                   {352, 352},
                   TransitionReason::duration_elapsed},
        PacketCase{
            "DurationOutlastingTheFile", 705, 1s, {352, 352, 1}, TransitionReason::end_of_stream},
        PacketCase{"DurationEndingWithTheFile",
                   704,
                   nanoseconds(15'963'719),
                   {352, 352},
                   TransitionReason::duration_elapsed},
        PacketCase{
            "DurationBelowOneFrame", 704, nanoseconds(10), {}, TransitionReason::duration_elapsed}),
    [](const auto& p) { return std::string(p.param.name); });

struct EndCase {
  const char* name;
  void (*prepare)(StreamRig&);
  StreamOutcome outcome;
};

void PrintTo(const EndCase& c, std::ostream* os) { *os << c.name; }

class FileStreamEnds : public ::testing::TestWithParam<EndCase> {};

// What is looked at before the first packet, in its order: the failure slot, the feedback flag,
// the stop request.
TEST_P(FileStreamEnds, BeforeAnyPacket) {
  const EndCase& c = GetParam();
  StreamRig rig;
  c.prepare(rig);
  const std::vector<std::int16_t> file = test_signal(2000);
  StreamContext context = rig.context();
  EXPECT_EQ(stream_wav_samples(file, std::nullopt, context), c.outcome);
  rig.close_channel();
  EXPECT_EQ(rig.packet_count(), 0U);
}

const SessionError kControlFailure{SessionErrorKind::stream_failed, SessionStage::control, true};

INSTANTIATE_TEST_SUITE_P(
    Checks, FileStreamEnds,
    ::testing::Values(EndCase{"StopRequested",
                              [](StreamRig& r) { request_session_stop(*r.shared, false); },
                              TransitionReason::stop_requested},
                      EndCase{"FeedbackFailed",
                              [](StreamRig& r) { r.feedback_failed->store(true); },
                              std::unexpected(SessionError::of(SessionErrorKind::control_poisoned,
                                                               SessionStage::feedback))},
                      EndCase{"ControlFailedBeforeTheFeedbackFlag",
                              [](StreamRig& r) {
                                r.feedback_failed->store(true);
                                request_session_stop(*r.shared, false);
                                store_worker_failure(*r.failure, kControlFailure);
                              },
                              std::unexpected(kControlFailure)},
                      EndCase{"FeedbackBeforeTheStop",
                              [](StreamRig& r) {
                                r.feedback_failed->store(true);
                                request_session_stop(*r.shared, false);
                              },
                              std::unexpected(SessionError::of(SessionErrorKind::control_poisoned,
                                                               SessionStage::feedback))}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(FileStream, AStopDuringStreamingEndsWithinAPacketOrSo) {
  StreamRig rig(std::chrono::microseconds(8'000));                 // about the sender's pace
  const std::vector<std::int16_t> file = test_signal(352 * 1000);  // 8 s
  std::thread stopper([&] {
    ASSERT_TRUE(rig.wait_for_packets(20));
    request_session_stop(*rig.shared, false);
  });
  StreamContext context = rig.context();
  const StreamOutcome outcome = stream_wav_samples(file, std::nullopt, context);
  stopper.join();
  EXPECT_EQ(outcome, TransitionReason::stop_requested);
  rig.close_channel();
  // The stop is seen at the next packet; the channel's 8 and the one in hand may still go.
  EXPECT_LE(rig.packet_count(), 20U + 10U);
  const auto packets = rig.opened_packets();
  for (std::size_t i = 0; i < packets.size(); ++i) EXPECT_EQ(packets[i].sequence_number, i);
}

TEST(FileStream, AppliesEachVolumeChangeOnceAndOnlyWarnsWhenItFails) {
  StreamRig rig(std::chrono::microseconds(2'000));
  const std::vector<std::int16_t> file = test_signal(352 * 200);
  rig.volume_result = support::fail("SET_PARAMETER volume returned RTSP 500 Internal Server Error");
  std::thread changer([&] {
    ASSERT_TRUE(rig.wait_for_packets(10));
    rig.shared->volume.store(0.25F);
    rig.shared->volume_generation.fetch_add(1);
    ASSERT_TRUE(rig.wait_for_packets(40));
    rig.shared->volume.store(0.75F);
    rig.shared->volume_generation.fetch_add(1);
  });
  StreamContext context = rig.context();
  EXPECT_EQ(stream_wav_samples(file, std::nullopt, context), TransitionReason::end_of_stream);
  changer.join();
  EXPECT_EQ(rig.volumes_sent, (std::vector<float>{0.25F, 0.75F}));
  EXPECT_EQ(rig.applied_generation, 3U);
  // Both failures went to one coalesced warning.
  auto source = SessionEventSource(rig.shared);
  bool warned = false;
  for (int i = 0; i < 10 && !warned; ++i) {
    const SessionEvent event = poll_session_event(source);
    if (const auto* warning = std::get_if<SessionWarningEvent>(&event)) {
      EXPECT_EQ(warning->code, WarningCode::optional_request_rejected);
      EXPECT_EQ(warning->stage, SessionStage::set_volume);
      EXPECT_TRUE(warning->retryable);
      EXPECT_EQ(warning->occurrences, 2U);
      warned = true;
    }
  }
  EXPECT_TRUE(warned);
}

TEST(FileStream, ASenderThatWentAwayEndsTheLoop) {
  StreamRig rig;
  rig.refuse_after_next();
  const std::vector<std::int16_t> file = test_signal(352 * 100);
  StreamContext context = rig.context();
  EXPECT_EQ(stream_wav_samples(file, std::nullopt, context),
            std::unexpected(
                SessionError::of(SessionErrorKind::stream_failed, SessionStage::stream_worker)));
}

TEST(FileStream, AFileItCannotPlayIsAConfigErrorBeforeAnyPacket) {
  const std::vector<std::int16_t> mono = test_signal(500);
  struct Case {
    const char* name;
    std::uint16_t channels;
    std::uint32_t rate;
  };
  for (const Case& c : {Case{"mono", 1, 44100}, Case{"48 kHz", 2, 48000}}) {
    SCOPED_TRACE(c.name);
    kestrune::testing::TempWavFile file(mono, c.channels, c.rate);
    StreamRig rig;
    StreamContext context = rig.context();
    EXPECT_EQ(stream_wav_file(file.path(), std::nullopt, context),
              std::unexpected(
                  SessionError{SessionErrorKind::config_error, SessionStage::capture, false}));
    rig.close_channel();
    EXPECT_EQ(rig.packet_count(), 0U);
  }
  StreamRig rig;
  StreamContext context = rig.context();
  EXPECT_EQ(stream_wav_file("/nonexistent/kestrune.wav", std::nullopt, context).error().code,
            SessionErrorKind::config_error);
}

TEST(FileStream, PlaysAFileFromDisk) {
  const std::vector<std::int16_t> samples = test_signal(1000);
  kestrune::testing::TempWavFile file(samples);
  StreamRig rig;
  StreamContext context = rig.context();
  EXPECT_EQ(stream_wav_file(file.path(), std::nullopt, context), TransitionReason::end_of_stream);
  rig.close_channel();
  std::vector<std::int16_t> received = rig.received_samples();
  ASSERT_EQ(received.size(), 3U * 704U);
  received.resize(samples.size());
  EXPECT_EQ(received, samples);
}

}  // namespace
}  // namespace kestrune::engine::testing
