#include "engine/orchestration/rtp_sender.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/orchestration/pacing_schedule.hpp"
#include "engine/orchestration/queue_audio_packet.hpp"
#include "engine/wire/audio_packet.hpp"
#include "support/thread_testing.hpp"
#include "tests/support/loopback_peer.hpp"
#include "tests/support/session_result.hpp"

namespace kestrune::engine {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackPeer;

const platform::SocketAddress kIpv6Receiver =
    *platform::SocketAddress::from_ip_literal("::1", 7000);

OutboundPacket packet(std::uint8_t tag, bool with_sync) {
  OutboundPacket p{std::vector<std::uint8_t>(1444, tag), std::nullopt};
  if (with_sync) p.sync = SyncPacket{0x90, 0xD4, 0, tag};
  return p;
}

class RtpSenderTest : public ::testing::Test {
 protected:
  RtpSenderTest() { open_channel(); }

  void open_channel() {
    auto [tx, rx] = support::channel<OutboundPacket>(8);
    packets.emplace(std::move(tx));
    receiver.emplace(std::move(rx));
  }

  // Queues `queued` and closes the channel, then runs "rt-sender" to its end.
  SessionError run(const std::vector<OutboundPacket>& queued,
                   const platform::SocketAddress& control_to,
                   const platform::SocketAddress& data_to) {
    for (const auto& p : queued) EXPECT_TRUE(packets->try_send(p));
    packets.reset();
    auto handle = start(control_to, data_to);
    EXPECT_TRUE(handle);
    if (!handle) return handle.error();
    auto joined = handle->join();
    EXPECT_TRUE(joined) << joined.error().describe();
    return joined.value_or(
        SessionError::of(SessionErrorKind::internal_error, SessionStage::stream_worker));
  }

  std::expected<support::JoinHandle<SessionError>, SessionError> start(
      const platform::SocketAddress& control_to, const platform::SocketAddress& data_to) {
    return start_rtp_sender(std::move(*receiver), control_to, data_to,
                            session_control_socket.duplicate().value(), stats);
  }

  std::optional<support::Sender<OutboundPacket>> packets;
  std::optional<support::Receiver<OutboundPacket>> receiver;
  platform::UdpSocket session_control_socket = platform::UdpSocket::bind_any_ipv4().value();
  std::shared_ptr<StreamStats> stats = std::make_shared<StreamStats>();
  LoopbackPeer data_peer;
  LoopbackPeer control_peer;
};

TEST_F(RtpSenderTest, EveryQueuedPacketIsSentAtPaceAfterTheChannelCloses) {
  std::vector<OutboundPacket> queued;
  for (std::uint8_t i = 0; i < 8; ++i) queued.push_back(packet(i, i == 0 || i == 5));
  const auto started = MonotonicClock::now();
  EXPECT_TRUE(run(queued, control_peer.endpoint, data_peer.endpoint).is_success());
  // All eight were queued before the thread started, so the last went out no earlier than seven
  // intervals after its start.
  EXPECT_GE(MonotonicClock::now() - started, 7 * kPacketInterval);

  for (std::uint8_t i = 0; i < 8; ++i) {
    const auto audio = data_peer.receive();
    ASSERT_TRUE(audio) << int{i};
    EXPECT_EQ(*audio, queued[i].audio);
  }
  for (const std::size_t tag : {0u, 5u}) {
    const auto sync = control_peer.receive();
    ASSERT_TRUE(sync);
    EXPECT_EQ(*sync, std::vector<std::uint8_t>(queued[tag].sync->begin(), queued[tag].sync->end()));
    // Syncs leave from the session's control socket, audio from the sender's own data socket.
    EXPECT_EQ(control_peer.last_source->port(), session_control_socket.local_port().value());
  }
  EXPECT_NE(data_peer.last_source->port(), session_control_socket.local_port().value());
  EXPECT_EQ(stats->packetsSent.load(), 8u);
  EXPECT_EQ(stats->jitter_samples.load(), 7u);
}

TEST_F(RtpSenderTest, ASyncThatCannotBeSentEndsTheThreadBeforeItsAudioPacket) {
  const std::vector<OutboundPacket> queued = {packet(1, false), packet(2, true), packet(3, false)};
  const SessionError result = run(queued, kIpv6Receiver, data_peer.endpoint);
  EXPECT_EQ(result, SessionError::of(SessionErrorKind::stream_failed, SessionStage::stream_worker));
  EXPECT_TRUE(result.retryable);
  EXPECT_EQ(data_peer.receive(), queued[0].audio);
  data_peer.socket.set_read_timeout(100ms).value();
  // The thread has ended: anything it sent would be waiting already.
  EXPECT_EQ(data_peer.receive(), std::nullopt);
  EXPECT_EQ(stats->packetsSent.load(), 1u);
}

TEST_F(RtpSenderTest, AnIpv6ReceiverFailsTheFirstSendFromTheIpv4Sockets) {
  for (const bool with_sync : {false, true}) {
    open_channel();
    const SessionError result = run({packet(1, with_sync)}, kIpv6Receiver, kIpv6Receiver);
    EXPECT_EQ(result,
              SessionError::of(SessionErrorKind::stream_failed, SessionStage::stream_worker))
        << "with_sync=" << with_sync;
  }
  EXPECT_EQ(stats->packetsSent.load(), 0u);
}

TEST_F(RtpSenderTest, TheStreamLoopSeesTheEndedSenderAsAClosedChannel) {
  auto handle = start(kIpv6Receiver, kIpv6Receiver);
  ASSERT_TRUE(handle);
  RtpSenderState state(new_packet_history(), AeadKey{});
  const std::vector<std::int16_t> samples(kSamplesPerPacket, 0);
  SessionError last = SessionError::success();
  // The first packet fails in "rt-sender"; at most the channel's 8 more fit before a hand-off
  // finds it closed.
  for (std::uint32_t i = 0; i < 100 && last.is_success(); ++i) {
    last = kestrune::testing::session_result_of(
        queue_audio_packet(*packets, state, samples, i * kFramesPerPacket, stats->packetsPrepared));
  }
  EXPECT_EQ(last, SessionError::of(SessionErrorKind::stream_failed, SessionStage::stream_worker));
  EXPECT_EQ(handle->join().value(),
            SessionError::of(SessionErrorKind::stream_failed, SessionStage::stream_worker));
  EXPECT_LE(stats->packetsPrepared.load(), 10u);
}

TEST_F(RtpSenderTest, ASenderThatCannotBeSpawnedIsAnInternalError) {
  support::inject_spawn_failure_for_testing("rt-sender");
  auto handle = start(control_peer.endpoint, data_peer.endpoint);
  support::inject_spawn_failure_for_testing("");
  ASSERT_FALSE(handle);
  EXPECT_EQ(handle.error(),
            (SessionError{SessionErrorKind::internal_error, SessionStage::stream_worker, false}));
  // The channel's receiving end went with the failed start.
  EXPECT_FALSE(packets->send(packet(1, false)));
}

}  // namespace
}  // namespace kestrune::engine
