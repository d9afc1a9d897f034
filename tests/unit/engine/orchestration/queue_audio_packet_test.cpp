#include "engine/orchestration/queue_audio_packet.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "engine/wire/audio_packet.hpp"
#include "engine/wire/byte_order.hpp"
#include "engine/wire/ntp_time.hpp"
#include "tests/support/session_result.hpp"

namespace kestrune::engine {
namespace {

constexpr std::uint64_t kNtpNow = 0xE000'0001'8000'0000;

class QueueAudioPacketTest : public ::testing::Test {
 protected:
  QueueAudioPacketTest() {
    auto [tx, rx] = support::channel<OutboundPacket>(1024);
    sender.emplace(std::move(tx));
    receiver.emplace(std::move(rx));
  }

  SessionError queue(std::uint32_t timestamp, support::Result<std::uint64_t> ntp = kNtpNow) {
    return kestrune::testing::session_result_of(
        queue_audio_packet_at(*sender, state, samples, timestamp, prepared, ntp));
  }

  std::shared_ptr<PacketHistory> history = new_packet_history();
  RtpSenderState state{history, AeadKey{}};
  std::vector<std::int16_t> samples = std::vector<std::int16_t>(kSamplesPerPacket, 5);
  std::atomic<std::uint64_t> prepared{0};
  std::optional<support::Sender<OutboundPacket>> sender;
  std::optional<support::Receiver<OutboundPacket>> receiver;
};

TEST_F(QueueAudioPacketTest, SyncWithTheFirstPacketThenEvery126thAcrossATimestampWrap) {
  // The timestamps pass 2^32 at packet 50.
  const std::uint32_t start = 0u - 50u * kFramesPerPacket;
  std::vector<std::size_t> sync_indices;
  for (std::size_t i = 0; i < 300; ++i) {
    const auto timestamp = static_cast<std::uint32_t>(start + i * kFramesPerPacket);
    ASSERT_TRUE(queue(timestamp).is_success());
    auto packet = receiver->try_recv();
    ASSERT_TRUE(packet);
    if (!packet->sync) continue;
    const SyncPacket& sync = *packet->sync;
    const std::uint16_t sync_sequence = get_be16(sync, 2);
    EXPECT_EQ(sync_sequence, sync_indices.size());
    EXPECT_EQ(sync[0], sync_indices.empty() ? 0x90 : 0x80);
    EXPECT_EQ(sync[1], 0xD4);
    // The sync carries the timestamp of the audio packet it goes with, twice, and the NTP time.
    EXPECT_TRUE(std::equal(sync.begin() + 4, sync.begin() + 8, packet->audio.begin() + 4));
    EXPECT_TRUE(std::equal(sync.begin() + 16, sync.end(), packet->audio.begin() + 4));
    EXPECT_EQ(get_be64(sync, 8), kNtpNow);
    sync_indices.push_back(i);
  }
  EXPECT_EQ(sync_indices, (std::vector<std::size_t>{0, 126, 252}));
  EXPECT_EQ(prepared.load(), 300u);
  EXPECT_EQ(state.sequence_number, 300);
}

TEST_F(QueueAudioPacketTest, AClockFailureQueuesNothingAndAdvancesNothing) {
  ASSERT_TRUE(queue(0).is_success());
  ASSERT_TRUE(receiver->try_recv());
  for (const char* message : {"system clock is before Unix epoch", "NTP seconds overflow"}) {
    const SessionError error = queue(352, support::fail(message));
    EXPECT_EQ(error, (SessionError{SessionErrorKind::internal_error, SessionStage::timing, false}));
    EXPECT_FALSE(receiver->try_recv());
  }
  EXPECT_EQ(state.sequence_number, 1);
  EXPECT_EQ(state.sync_sequence_number, 1);
  EXPECT_EQ(prepared.load(), 1u);
  // A failed reading does not count as a sync: the next one is still due 44,100 frames on.
  EXPECT_EQ(state.last_sync, 0u);
}

TEST_F(QueueAudioPacketTest, AClosedChannelIsARetryableStreamFailure) {
  receiver.reset();
  const SessionError error = queue(0);
  EXPECT_EQ(error, SessionError::of(SessionErrorKind::stream_failed, SessionStage::stream_worker));
  EXPECT_TRUE(error.retryable);
  // The packet was prepared and sealed (so it sits in the history) before the hand-off failed.
  EXPECT_EQ(prepared.load(), 1u);
  std::vector<std::uint8_t> stored;
  EXPECT_TRUE(history->append_packet_to(0, stored));
}

TEST_F(QueueAudioPacketTest, TheRealClockFeedsTheSyncPacket) {
  const std::uint64_t before = current_ntp_time().value();
  ASSERT_TRUE(queue_audio_packet(*sender, state, samples, 0, prepared));
  const std::uint64_t after = current_ntp_time().value();
  auto packet = receiver->try_recv();
  ASSERT_TRUE(packet && packet->sync);
  const std::uint64_t carried = get_be64(*packet->sync, 8);
  EXPECT_GE(carried, before);
  EXPECT_LE(carried, after);
}

}  // namespace
}  // namespace kestrune::engine
