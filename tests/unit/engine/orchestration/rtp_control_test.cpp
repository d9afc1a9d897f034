#include "engine/orchestration/rtp_control.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "engine/rtp/seal_audio_packet.hpp"
#include "support/stoppable_worker.hpp"
#include "support/thread_testing.hpp"
#include "tests/support/audio_packets.hpp"
#include "tests/support/loopback_peer.hpp"
#include "tests/support/wait_until.hpp"

namespace kestrune::engine {
namespace {

using namespace std::chrono_literals;
using kestrune::testing::wait_until;
using testing::LoopbackPeer;

constexpr std::uint16_t kFirstSequenceNumber = 65'530;

std::vector<std::uint8_t> request8(std::uint16_t first, std::uint16_t count) {
  return {0x80,
          0xD5,
          0x00,
          0x01,
          static_cast<std::uint8_t>(first >> 8),
          static_cast<std::uint8_t>(first),
          static_cast<std::uint8_t>(count >> 8),
          static_cast<std::uint8_t>(count)};
}

class RtpControlTest : public ::testing::Test {
 protected:
  RtpControlTest() {
    state.sequence_number = kFirstSequenceNumber;
    seal(20);  // 65,530 to 65,535, then 0 to 13
  }

  ~RtpControlTest() override {
    if (control.has_thread()) control.stop_and_join(std::chrono::steady_clock::now() + 1s);
  }

  void seal(int packets) {
    const std::vector<std::int16_t> samples(kSamplesPerPacket, 0x0101);
    for (int i = 0; i < packets; ++i) {
      const std::uint16_t sequence_number = state.sequence_number;
      auto packet = seal_audio_packet(state, timestamp, samples);
      ASSERT_TRUE(packet);
      sent[sequence_number] = *packet;
      timestamp += kFramesPerPacket;
    }
  }

  void start() {
    auto handle = start_rtp_control(session_control_socket.duplicate().value(), receiver.endpoint,
                                    stop, stats, history, shared, failure);
    ASSERT_TRUE(handle);
    control.attach(std::move(*handle));
  }

  void send_to_control_port(const std::vector<std::uint8_t>& datagram) {
    receiver.send(datagram, testing::loopback(session_control_socket.local_port().value()));
  }

  std::vector<std::uint8_t> expected_reply(std::uint16_t sequence_number) {
    return kestrune::testing::retransmit_reply(sequence_number, sent.at(sequence_number));
  }

  // A request for the newest packet, answered once everything sent before it has been handled.
  void fence() {
    const auto newest = static_cast<std::uint16_t>(state.sequence_number - 1);
    send_to_control_port(request8(newest, 1));
    EXPECT_EQ(receiver.receive(), expected_reply(newest));
  }

  std::uint64_t fulfilled() const { return stats->retransmitFulfilled.load(); }

  std::shared_ptr<PacketHistory> history = new_packet_history();
  RtpSenderState state{history, AeadKey{7}};
  std::uint32_t timestamp = 0;
  std::map<std::uint16_t, std::vector<std::uint8_t>> sent;

  platform::UdpSocket session_control_socket = platform::UdpSocket::bind_any_ipv4().value();
  LoopbackPeer receiver;
  std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<StreamStats> stats = std::make_shared<StreamStats>();
  std::shared_ptr<SessionShared> shared = make_session_shared(SessionId{}, 0.5f);
  std::shared_ptr<WorkerFailureSlot> failure = new_worker_failure_slot();
  support::StoppableWorker<void> control{stop};
};

TEST_F(RtpControlTest, AnswersBothRequestFormsWithTheFirstTransmissionByteForByte) {
  start();
  struct Case {
    const char* name;
    std::vector<std::uint8_t> request;
    std::vector<std::uint16_t> replied;
  };
  const Case cases[] = {
      {"8 bytes", request8(10, 2), {10, 11}},
      {"16 bytes across the wrap",
       {0x80, 0xD5, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0x00, 0x02, 1, 2, 3, 4},
       {65535, 0}},
      {"the very first packet, marker and all",
       request8(kFirstSequenceNumber, 1),
       {kFirstSequenceNumber}},
  };
  std::uint64_t requested = 0;
  std::uint64_t replies = 0;
  for (const Case& c : cases) {
    send_to_control_port(c.request);
    for (const std::uint16_t s : c.replied) {
      const auto reply = receiver.receive();
      ASSERT_TRUE(reply) << c.name;
      EXPECT_EQ(*reply, expected_reply(s)) << c.name;
      // Replies go to the receiver's control port from the session's control socket.
      EXPECT_EQ(receiver.last_source->port(), session_control_socket.local_port().value());
    }
    requested += c.replied.size();
    replies += c.replied.size();
    EXPECT_TRUE(wait_until([&] { return fulfilled() == replies; }, 5s)) << c.name;
    EXPECT_EQ(stats->retransmitRequested.load(), requested) << c.name;
  }
  EXPECT_EQ(expected_reply(kFirstSequenceNumber)[5], 0xE0);
}

TEST_F(RtpControlTest, MalformedLengthsWarnAndOtherDatagramsAreIgnored) {
  start();
  std::vector<std::uint8_t> sync_like(20, 0);
  sync_like[1] = 0xD4;
  send_to_control_port({0x80, 0xD5, 0, 0, 0});                  // 5 bytes
  send_to_control_port({0x80, 0xD5, 0, 0, 0, 10, 0, 1, 0, 0});  // 10 bytes
  send_to_control_port({0x80, 0xD5, 0});                        // 3 bytes
  send_to_control_port(sync_like);                              // payload type 84
  send_to_control_port({0x80, 0x56, 0, 0, 0, 10, 0, 1});        // payload type 86
  fence();

  EXPECT_EQ(stats->retransmitRequested.load(), 1u);
  auto book = shared->mailbox->warnings.lock();
  ASSERT_EQ(book->pending_count, 1u);
  EXPECT_EQ(book->pending[0].key,
            (WarningKey{WarningCode::retransmit_malformed, SessionStage::control}));
  EXPECT_EQ(book->pending[0].occurrences, 2u);
  EXPECT_FALSE(book->pending[0].retryable);
}

TEST_F(RtpControlTest, DisplacedPacketsAreSkippedButStillCountAsRequested) {
  seal(512);
  start();
  send_to_control_port(request8(0, 3));  // all three displaced by 512 newer packets
  fence();
  EXPECT_EQ(stats->retransmitRequested.load(), 4u);
  EXPECT_TRUE(wait_until([&] { return fulfilled() == 1; }, 5s));
}

TEST_F(RtpControlTest, StopsSoonAfterItsFlagIsSet) {
  start();
  // One request answered: the thread is back in its receive, where only the read timeout lets it
  // see the flag.
  fence();
  ASSERT_TRUE(wait_until([&] { return fulfilled() == 1; }, 5s));
  stop->store(true);
  const bool ended = wait_until([&] { return control.finished(); }, 5s);
  // A receive that waits for ever would keep the join below waiting too: wake it.
  if (!ended) fence();
  EXPECT_TRUE(ended);
  EXPECT_TRUE(control.stop_and_join(std::chrono::steady_clock::now() + 1s));
  EXPECT_TRUE(read_worker_failure(*failure).is_success());
}

TEST_F(RtpControlTest, AFatalReceiveErrorIsStoredOnceAndEndsTheThread) {
  struct Case {
    const char* name;
    SessionError already_stored;
    SessionError expected;
  };
  const SessionError control_failure =
      SessionError::of(SessionErrorKind::stream_failed, SessionStage::control);
  const SessionError earlier =
      SessionError::of(SessionErrorKind::network_error, SessionStage::pairing);
  const Case cases[] = {
      {"empty slot", SessionError::success(), control_failure},
      {"slot already written", earlier, earlier},
  };
  for (const Case& c : cases) {
    session_control_socket = platform::UdpSocket::bind_any_ipv4().value();
    failure = new_worker_failure_slot();
    if (c.already_stored.is_error()) store_worker_failure(*failure, c.already_stored);
    start();
    testing::make_next_receive_fail(session_control_socket);
    ASSERT_TRUE(wait_until([&] { return control.finished(); }, 5s)) << c.name;
    EXPECT_TRUE(control.join()) << c.name;
    EXPECT_EQ(read_worker_failure(*failure), c.expected) << c.name;
    EXPECT_EQ(read_worker_failure(*failure).retryable, c.expected.retryable) << c.name;
  }
}

TEST_F(RtpControlTest, StartFailures) {
  platform::UdpSocket closed = platform::UdpSocket::bind_any_ipv4().value();
  closed.close();
  auto no_timeout = start_rtp_control(std::move(closed), receiver.endpoint, stop, stats, history,
                                      shared, failure);
  ASSERT_FALSE(no_timeout);
  EXPECT_EQ(no_timeout.error(),
            SessionError::of(SessionErrorKind::network_error, SessionStage::control));
  EXPECT_TRUE(no_timeout.error().retryable);

  support::inject_spawn_failure_for_testing("rt-control");
  auto no_thread = start_rtp_control(session_control_socket.duplicate().value(), receiver.endpoint,
                                     stop, stats, history, shared, failure);
  support::inject_spawn_failure_for_testing("");
  ASSERT_FALSE(no_thread);
  EXPECT_EQ(no_thread.error(),
            (SessionError{SessionErrorKind::internal_error, SessionStage::control, false}));
  // The shared handles went with the failed start.
  EXPECT_EQ(history.use_count(), 2);  // the fixture and the sender state
}

}  // namespace
}  // namespace kestrune::engine
