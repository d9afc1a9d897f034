// The live stream loop and its jitter buffer, fed by a capture queue the test fills: the buffer's
// sizes, the fill, the prefill, underrun silence, the end of the capture, the drain and its
// deadline, and the failures that end the loop.

#include "engine/orchestration/live_stream.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "engine/core/session_shared.hpp"
#include "engine/wire/audio_packet.hpp"
#include "tests/support/audio_packets.hpp"
#include "tests/unit/engine/orchestration/stream_rig.hpp"

namespace kestrune::engine::testing {
namespace {

using kestrune::testing::test_signal;

BufferProfile profile(std::uint32_t capacity_ms, std::uint8_t start, std::uint8_t refill,
                      std::chrono::nanoseconds max_wait = 250ms) {
  return BufferProfile{capacity_ms, start, refill, max_wait};
}

TEST(JitterTargets, FollowTheProfile) {
  struct Case {
    BufferProfile profile;
    JitterTargets targets;
  };
  const Case cases[] = {
      {profile(150, 90, 50), {18, 17, 9}},
      {profile(100, 90, 50), {12, 11, 6}},
      {profile(100, 1, 1), {12, 1, 1}},
      {profile(5000, 90, 95), {625, 563, 594}},
      {profile(107, 50, 95), {13, 7, 13}},
      {profile(7, 50, 50), {1, 1, 1}},  // below one packet still holds one
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.profile.capacityMs);
    EXPECT_EQ(jitter_targets(c.profile), c.targets);
  }
}

LivePacket numbered_packet(std::int16_t n) {
  LivePacket packet{};
  packet.fill(n);
  return packet;
}

TEST(JitterBuffer, IsFirstInFirstOutAcrossItsWrapAndRefusesWhenFull) {
  JitterBuffer buffer(3);
  std::int16_t pushed = 0;
  std::int16_t popped = 0;
  for (int round = 0; round < 5; ++round) {  // fills and empties it across the wrap
    while (buffer.push(numbered_packet(pushed))) ++pushed;
    EXPECT_EQ(buffer.size(), 3U);
    EXPECT_FALSE(buffer.push(numbered_packet(99)));
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(buffer.front()[0], popped++);
      buffer.pop();
    }
  }
  EXPECT_EQ(buffer.size(), 1U);
  buffer.clear();
  EXPECT_TRUE(buffer.empty());
}

CaptureChunk chunk_of(const std::vector<std::int16_t>& signal, std::size_t index,
                      std::uint32_t rate = 44100) {
  CaptureChunk chunk;
  chunk.sample_rate = rate;
  std::copy_n(signal.begin() + static_cast<std::ptrdiff_t>(index * kCaptureChunkSamples),
              kCaptureChunkSamples, chunk.samples.begin());
  return chunk;
}

// A capture queue the test feeds with the test signal, chunk by chunk.
struct FakeCapture {
  explicit FakeCapture(std::size_t chunks = 0) : signal(test_signal(1024 * 256)) {
    auto [tx, rx] = support::channel<CaptureChunk>(kCaptureQueueChunks);
    sender.emplace(std::move(tx));
    receiver.emplace(std::move(rx));
    for (std::size_t i = 0; i < chunks; ++i) feed();
  }
  void feed(std::uint32_t rate = 44100) {
    ASSERT_TRUE(sender->try_send(chunk_of(signal, fed++, rate)).has_value());
  }
  void end() { sender.reset(); }

  std::vector<std::int16_t> signal;
  std::size_t fed = 0;
  std::optional<support::Sender<CaptureChunk>> sender;
  std::optional<support::Receiver<CaptureChunk>> receiver;
};

TEST(FillPacketQueue, FillsUpToItsTargetAndSaysWhyItStopped) {
  struct Case {
    const char* name;
    std::size_t chunks;  // queued before the fill (2.9 packets each)
    bool ended;          // the queue is closed
    std::size_t target;
    std::size_t capacity;
    std::size_t preloaded;  // packets already in the buffer
    FillStatus status;
    std::size_t held;  // packets in the buffer afterwards
  };
  const Case cases[] = {
      {"reaches the target", 4, false, 9, 18, 0, FillStatus::target_reached, 9},
      {"already there", 0, false, 9, 18, 12, FillStatus::target_reached, 12},
      {"capacity below the target", 4, false, 17, 5, 0, FillStatus::target_reached, 5},
      {"not enough yet", 2, false, 9, 18, 0, FillStatus::not_ready, 5},
      {"nothing yet", 0, false, 9, 18, 0, FillStatus::not_ready, 0},
      {"capture over", 2, true, 9, 18, 0, FillStatus::ended, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCapture capture(c.chunks);
    if (c.ended) capture.end();
    auto source = new_live_source(std::move(*capture.receiver), 44100);
    ASSERT_TRUE(source);
    JitterBuffer buffer(18);
    for (std::size_t i = 0; i < c.preloaded; ++i) ASSERT_TRUE(buffer.push(LivePacket{}));
    EXPECT_EQ(fill_packet_queue(*source, buffer, c.target, c.capacity), c.status);
    EXPECT_EQ(buffer.size(), c.held);
  }
}

TEST(FillPacketQueue, ASourceErrorIsCaptureFailed) {
  FakeCapture capture;
  capture.feed(48000);  // a rate the source was not made for
  auto source = new_live_source(std::move(*capture.receiver), 44100);
  ASSERT_TRUE(source);
  JitterBuffer buffer(18);
  EXPECT_EQ(
      fill_packet_queue(*source, buffer, 9, 18),
      std::unexpected(SessionError{SessionErrorKind::capture_failed, SessionStage::capture, true}));
}

// A playing session's live loop over a fake capture queue.
struct LiveRun {
  explicit LiveRun(std::chrono::microseconds pace = 0us) : rig(pace) {
    config.bufferProfile = profile(150, 90, 50, 100ms);
    EXPECT_TRUE(mark_startup_complete(*rig.shared));
  }

  StreamOutcome run() {
    StreamContext context = rig.context();
    started = Clock::now();
    return stream_capture(std::move(*capture.receiver), 44100, config, context, handle, summary);
  }

  // Packets that carried audio, and how many were silent.
  std::vector<std::int16_t> audio_samples(std::size_t& silent) {
    std::vector<std::int16_t> samples;
    silent = 0;
    for (const auto& packet : rig.opened_packets()) {
      if (std::all_of(packet.samples.begin(), packet.samples.end(),
                      [](std::int16_t s) { return s == 0; })) {
        ++silent;
        continue;
      }
      samples.insert(samples.end(), packet.samples.begin(), packet.samples.end());
    }
    return samples;
  }

  StreamRig rig;
  FakeCapture capture;
  SessionConfig config;
  std::optional<CaptureHandle> handle;
  CaptureSummary summary;
  Clock::time_point started;
};

std::vector<std::int16_t> first_frames(const std::vector<std::int16_t>& signal,
                                       std::size_t frames) {
  return {signal.begin(), signal.begin() + static_cast<std::ptrdiff_t>(2 * frames)};
}

TEST(LiveStream, PlaysTheCaptureInOrderAndEndsWhenItEnds) {
  LiveRun live;
  // A burst that fits in the buffer's capacity (a second holds 42 chunks), so none of it is
  // dropped.
  live.config.bufferProfile = profile(1000, 90, 50, 100ms);
  for (int i = 0; i < 20; ++i) live.capture.feed();  // 58 whole packets and a remainder
  live.capture.end();
  EXPECT_EQ(live.run(), TransitionReason::end_of_stream);
  live.rig.close_channel();
  std::size_t silent = 0;
  EXPECT_EQ(live.audio_samples(silent), first_frames(live.capture.signal, 58 * 352));
  EXPECT_EQ(silent, 0U);
  EXPECT_EQ(live.rig.stats->underrunSilencePackets.load(), 0U);
  const auto packets = live.rig.opened_packets();
  for (std::size_t i = 0; i < packets.size(); ++i) {
    EXPECT_EQ(packets[i].sequence_number, i);
    EXPECT_EQ(packets[i].timestamp, 352 * i);
  }
  // The capture ending by itself is no drain.
  EXPECT_EQ(current_session_state(*live.rig.shared), SessionState::playing);
  EXPECT_FALSE(live.summary.present);
}

// A capture that is over before the start target is reached cannot reach it: the prefill stops
// at once rather than spinning out its startMaxWait, and what was captured plays out.
TEST(LiveStream, ACaptureThatEndsBelowTheStartTargetPlaysWithoutWaitingOutThePrefill) {
  LiveRun live;
  live.config.bufferProfile = profile(150, 90, 50, 10s);  // start target 17 packets
  live.capture.feed();
  live.capture.feed();  // 5 whole packets and a remainder
  live.capture.end();
  EXPECT_EQ(live.run(), TransitionReason::end_of_stream);
  EXPECT_LT(Clock::now() - live.started, 5s);
  live.rig.close_channel();
  std::size_t silent = 0;
  EXPECT_EQ(live.audio_samples(silent), first_frames(live.capture.signal, 5 * 352));
  EXPECT_EQ(silent, 0U);
}

TEST(LiveStream, WithoutAudioThePrefillWaitsItsTimeThenSilenceGoesOutAndVolumeChangesApply) {
  LiveRun live(std::chrono::microseconds(8'000));
  std::thread host([&] {
    ASSERT_TRUE(live.rig.wait_for_packets(5));
    live.rig.shared->volume.store(0.3F);
    live.rig.shared->volume_generation.fetch_add(1);
    ASSERT_TRUE(live.rig.wait_for_packets(15));
    request_session_stop(*live.rig.shared, false);
  });
  Clock::time_point first_packet;
  std::thread watcher([&] {
    if (live.rig.wait_for_packets(1)) first_packet = Clock::now();
  });
  const StreamOutcome outcome = live.run();
  host.join();
  watcher.join();
  EXPECT_EQ(outcome, TransitionReason::stop_requested);
  live.rig.close_channel();
  EXPECT_GE(first_packet - live.started, 95ms);  // startMaxWait is 100 ms
  std::size_t silent = 0;
  EXPECT_TRUE(live.audio_samples(silent).empty());
  EXPECT_GE(silent, 15U);
  EXPECT_EQ(live.rig.stats->underrunSilencePackets.load(), silent);
  EXPECT_EQ(live.rig.volumes_sent, std::vector<float>{0.3F});
  EXPECT_EQ(current_session_state(*live.rig.shared), SessionState::draining);
}

TEST(LiveStream, UnderrunsAreFilledWithSilenceAndTheAudioKeepsItsOrder) {
  LiveRun live(std::chrono::microseconds(8'000));
  std::thread feeder([&] {
    for (int i = 0; i < 12; ++i) {  // about 2.9 packets every 50 ms: slower than the sender
      live.capture.feed();
      std::this_thread::sleep_for(50ms);
    }
    live.capture.end();
  });
  const StreamOutcome outcome = live.run();
  feeder.join();
  EXPECT_EQ(outcome, TransitionReason::end_of_stream);
  live.rig.close_channel();
  std::size_t silent = 0;
  const std::size_t whole_packets = 12 * 1024 / 352;
  EXPECT_EQ(live.audio_samples(silent), first_frames(live.capture.signal, whole_packets * 352));
  EXPECT_GT(silent, 0U);
  EXPECT_EQ(live.rig.stats->underrunSilencePackets.load(), silent);
}

TEST(LiveStream, TheMaximumDurationEndsItThroughTheDrain) {
  LiveRun live(std::chrono::microseconds(8'000));
  live.config.maxDuration = 200ms;
  const StreamOutcome outcome = live.run();
  const auto took = Clock::now() - live.started;
  EXPECT_EQ(outcome, TransitionReason::duration_elapsed);
  EXPECT_GE(took, 300ms);  // the prefill's 100 ms, then 200 ms of streaming
  EXPECT_LT(took, 2s);
  EXPECT_EQ(current_session_state(*live.rig.shared), SessionState::draining);
}

struct DrainCase {
  const char* name;
  std::optional<std::chrono::milliseconds> deadline_in;  // armed before the stop
  std::chrono::milliseconds at_least;
  std::chrono::milliseconds below;
};

void PrintTo(const DrainCase& c, std::ostream* os) { *os << c.name; }

class LiveDrain : public ::testing::TestWithParam<DrainCase> {};

// A stop while seconds of audio wait in the capture queue: the capture is stopped and counted,
// and the drain sends audio until its deadline, then discards the rest. The buffer is large (5 s)
// so that all of it may wait, and its targets small, so the drain keeps refilling from the queue.
TEST_P(LiveDrain, EndsAtItsDeadlineWithAudioLeft) {
  const DrainCase& c = GetParam();
  LiveRun live(std::chrono::microseconds(8'000));
  live.config.bufferProfile = profile(5000, 1, 1, 100ms);
  for (std::size_t i = 0; i < 200; ++i) live.capture.feed();  // about 4.6 s
  auto stats = std::make_shared<CaptureStats>();
  stats->callbacks = 7;
  stats->frames = 7 * 1024;
  stats->max_callback_gap_us = 21'000;
  auto [unused_sender, unused_queue] = support::channel<CaptureChunk>(1);
  live.handle.emplace(
      CaptureHandle{nullptr, stats, std::move(unused_queue), "Fake", "I16", 44100, 2});

  Clock::time_point stopped_at;
  std::thread host([&] {
    ASSERT_TRUE(live.rig.wait_for_packets(20));
    if (c.deadline_in) *live.rig.shared->deadline.lock() = Clock::now() + *c.deadline_in;
    stopped_at = Clock::now();
    request_session_stop(*live.rig.shared, false);
  });
  const StreamOutcome outcome = live.run();
  const auto drained_for = Clock::now() - stopped_at;
  host.join();
  EXPECT_EQ(outcome, TransitionReason::stop_requested);
  EXPECT_GE(drained_for, c.at_least);
  EXPECT_LT(drained_for, c.below);
  EXPECT_FALSE(live.handle.has_value());
  EXPECT_TRUE(live.summary.present);
  EXPECT_EQ(live.summary.totals.callbacks, 7U);
  EXPECT_EQ(live.summary.totals.frames, 7U * 1024);
  EXPECT_EQ(live.summary.max_callback_gap_us, 21'000U);
  live.rig.close_channel();
  std::size_t silent = 0;
  const std::vector<std::int16_t> audio = live.audio_samples(silent);
  EXPECT_EQ(silent, 0U);
  EXPECT_EQ(audio, first_frames(live.capture.signal, audio.size() / 2));
  EXPECT_LT(audio.size(), 200 * kCaptureChunkSamples / 2);  // most of it was never sent
  EXPECT_EQ(live.rig.stats->bufferOverflows.load(), 0U);
}

INSTANTIATE_TEST_SUITE_P(
    Deadlines, LiveDrain,
    ::testing::Values(DrainCase{"DrainsForAtMost750Ms", std::nullopt, 700ms, 1500ms},
                      DrainCase{"ANearShutdownDeadlineCutsItShort", 200ms, 150ms, 600ms}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(LiveStream, WorkerFailuresEndTheLoopWithoutADrain) {
  struct Case {
    const char* name;
    void (*prepare)(StreamRig&);
    SessionError error;
  };
  const SessionError control_failure{SessionErrorKind::stream_failed, SessionStage::control, true};
  const Case cases[] = {
      {"rt-control failed",
       [](StreamRig& r) {
         store_worker_failure(*r.failure,
                              {SessionErrorKind::stream_failed, SessionStage::control, true});
       },
       control_failure},
      {"feedback failed", [](StreamRig& r) { r.feedback_failed->store(true); },
       SessionError::of(SessionErrorKind::control_poisoned, SessionStage::feedback)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LiveRun live;
    c.prepare(live.rig);
    EXPECT_EQ(live.run(), std::unexpected(c.error));
    live.rig.close_channel();
    EXPECT_EQ(live.rig.packet_count(), 0U);
    EXPECT_EQ(current_session_state(*live.rig.shared), SessionState::playing);
  }
}

TEST(LiveStream, ACaptureThatChangesItsRateFailsTheStream) {
  LiveRun live;
  live.capture.feed();
  live.capture.feed(48000);
  EXPECT_EQ(live.run(), std::unexpected(SessionError::of(SessionErrorKind::capture_failed,
                                                         SessionStage::capture)));
}

TEST(LiveStream, ASenderThatWentAwayEndsTheLoop) {
  LiveRun live;
  live.rig.refuse_after_next();
  EXPECT_EQ(live.run(), std::unexpected(SessionError::of(SessionErrorKind::stream_failed,
                                                         SessionStage::stream_worker)));
}

TEST(CaptureBacklogLimit, IsTheWholeChunksThatFitBesideWhatTheLoopHolds) {
  struct Case {
    std::size_t capacity;  // packets
    std::size_t held;      // frames at 44100 Hz
    std::uint32_t rate;
    std::size_t chunks;
  };
  const Case cases[] = {
      {18, 0, 44100, 6},         // 6336 frames hold 6.19 chunks
      {18, 9 * 352, 44100, 3},   // the refill target's 9 packets leave 3.09
      {18, 9 * 352, 48000, 3},   // 3.37 at 48000 Hz
      {18, 0, 96000, 13},        // 13.47: 13 chunks (139 ms) fit in 144 ms, 14 do not
      {18, 17 * 352, 44100, 1},  // a full buffer: one chunk may wait all the same
      {18, 18 * 352 + 9, 44100, 1},
      {625, 0, 44100, 214},
      {12, 0, 8000, 1},  // one chunk is longer than the buffer
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.capacity) + " packets, " + std::to_string(c.held) +
                 " frames held, at " + std::to_string(c.rate));
    EXPECT_EQ(capture_backlog_limit(c.capacity, c.held, c.rate), c.chunks);
  }
}

// Chunk `number` of a capture whose frames say where they come from: left is the chunk's number
// plus one, right the frame's place in it.
CaptureChunk numbered_chunk(std::size_t number) {
  CaptureChunk chunk;
  chunk.sample_rate = 44100;
  for (std::size_t f = 0; f < kCaptureChunkSamples / 2; ++f) {
    chunk.samples[2 * f] = static_cast<std::int16_t>(number + 1);
    chunk.samples[2 * f + 1] = static_cast<std::int16_t>(f);
  }
  return chunk;
}

// A capture that makes a chunk (2.9 packets) for every packet the sender takes: without a bound the
// surplus would pile up in the capture queue. The loop keeps what waits within the buffer's
// capacity by dropping the oldest whole chunks, counts each, and what it sends stays in order.
TEST(LiveStream, ACaptureFasterThanTheSenderKeepsItsBacklogWithinTheBound) {
  LiveRun live;
  constexpr std::size_t kPrefed = 6;  // the start target's 17 packets
  constexpr std::size_t kFed = 300;
  std::size_t fed = 0;
  std::size_t refused = 0;
  std::vector<std::size_t> fed_when_taken;  // chunks fed when each packet arrived
  for (; fed < kPrefed; ++fed) ASSERT_TRUE(live.capture.sender->try_send(numbered_chunk(fed)));
  live.rig.on_packet = [&] {
    fed_when_taken.push_back(fed);
    if (fed == kFed) {
      live.capture.end();
      ++fed;  // no more
      return;
    }
    if (fed > kFed) return;
    if (!live.capture.sender->try_send(numbered_chunk(fed))) ++refused;
    ++fed;
  };
  EXPECT_EQ(live.run(), TransitionReason::end_of_stream);
  live.rig.close_channel();
  EXPECT_EQ(refused, 0U);  // the queue never filled

  const auto packets = live.rig.opened_packets();
  ASSERT_EQ(packets.size(), fed_when_taken.size());
  std::vector<bool> heard(kFed, false);
  std::vector<std::size_t> first_chunk(packets.size());
  std::size_t skipped = 0;
  std::optional<std::pair<std::size_t, std::size_t>> previous;  // chunk, frame
  for (std::size_t p = 0; p < packets.size(); ++p) {
    const auto& samples = packets[p].samples;
    ASSERT_NE(samples[0], 0) << "packet " << p << " is silence";
    first_chunk[p] = static_cast<std::size_t>(samples[0] - 1);
    for (std::size_t f = 0; f < kFramesPerPacket; ++f) {
      const auto chunk = static_cast<std::size_t>(samples[2 * f] - 1);
      const auto frame = static_cast<std::size_t>(samples[2 * f + 1]);
      ASSERT_LT(chunk, kFed);
      heard[chunk] = true;
      if (previous) {
        const auto [last_chunk, last_frame] = *previous;
        const bool next_frame = chunk == last_chunk && frame == last_frame + 1;
        // A gap only ever lies between whole chunks.
        const bool after_gap = chunk > last_chunk && last_frame == 1023 && frame == 0;
        ASSERT_TRUE(next_frame || after_gap)
            << "packet " << p << ": chunk " << chunk << " frame " << frame << " after chunk "
            << last_chunk << " frame " << last_frame;
        if (after_gap) skipped += chunk - last_chunk - 1;
      }
      previous = {chunk, frame};
    }
  }
  const std::size_t dropped = live.rig.stats->bufferOverflows.load();
  EXPECT_GT(dropped, 0U);
  EXPECT_EQ(skipped, dropped);
  EXPECT_EQ(static_cast<std::size_t>(std::count(heard.begin(), heard.end(), true)) + dropped, kFed);

  // The audio that waited behind each packet as the sender took it: the chunks made by then, after
  // the packet's own, that were sent in the end (the dropped ones waited for nothing).
  const JitterTargets targets = jitter_targets(live.config.bufferProfile);
  // Behind a packet: the packet channel (8) and the one the loop was sending, what the loop holds
  // (the buffer's capacity, or one chunk beside a full buffer), and the chunks made while the loop
  // waited to send one packet (as many as the channel holds, and one).
  const std::size_t packets_behind = 8 + 1 + targets.capacity;
  const std::size_t most_behind = (packets_behind * kFramesPerPacket + 1023) / 1024 + 1 + 9;
  std::size_t worst_behind = 0;
  for (std::size_t p = 0; p < packets.size(); ++p) {
    const std::size_t made = std::min(fed_when_taken[p], kFed);
    const auto behind = std::count(heard.begin() + static_cast<std::ptrdiff_t>(first_chunk[p] + 1),
                                   heard.begin() + static_cast<std::ptrdiff_t>(made), true);
    worst_behind =
        std::max(worst_behind, static_cast<std::size_t>(std::max<std::ptrdiff_t>(behind, 0)));
  }
  EXPECT_LE(worst_behind, most_behind);
  EXPECT_EQ(live.rig.stats->underrunSilencePackets.load(), 0U);
}

}  // namespace
}  // namespace kestrune::engine::testing
