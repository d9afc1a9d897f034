#include "engine/session/timing_responder.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "engine/wire/byte_order.hpp"
#include "engine/wire/ntp_time.hpp"
#include "platform/thread_name.hpp"
#include "tests/support/loopback_peer.hpp"
#include "tests/support/wait_until.hpp"

namespace kestrune::engine {
namespace {

using namespace std::chrono_literals;
using kestrune::testing::wait_until;
using testing::LoopbackPeer;

std::vector<std::uint8_t> timing_request(std::uint8_t second_byte, std::size_t size = 32) {
  std::vector<std::uint8_t> request(size);
  for (std::size_t i = 0; i < size; ++i) request[i] = static_cast<std::uint8_t>(0x40 + i);
  request[1] = second_byte;
  return request;
}

class TimingResponderTest : public ::testing::Test {
 protected:
  TimingResponderTest() : responder(start_timing_responder().value()) {}

  void send(const std::vector<std::uint8_t>& datagram) {
    peer.send(datagram, testing::loopback(responder.local_port));
  }

  TimingResponder responder;
  LoopbackPeer peer;
};

TEST_F(TimingResponderTest, EchoesTheRequestAndStampsTheWallClock) {
  EXPECT_NE(responder.local_port, 0);
  std::uint64_t answered = 0;
  for (const std::uint8_t second_byte : {std::uint8_t{0x52}, std::uint8_t{0xD2}}) {
    const auto request = timing_request(second_byte);
    const std::uint64_t before = current_ntp_time().value();
    send(request);
    const auto reply = peer.receive();
    const std::uint64_t after = current_ntp_time().value();
    ASSERT_TRUE(reply) << int{second_byte};
    ASSERT_EQ(reply->size(), 32u);
    EXPECT_EQ((*reply)[0], 0x80);
    EXPECT_EQ((*reply)[1], 0xD3);
    EXPECT_TRUE(std::equal(request.begin() + 2, request.begin() + 4, reply->begin() + 2));
    EXPECT_EQ(std::vector<std::uint8_t>(reply->begin() + 4, reply->begin() + 8),
              std::vector<std::uint8_t>(4, 0));
    EXPECT_TRUE(std::equal(request.begin() + 24, request.end(), reply->begin() + 8));
    const std::uint64_t received = get_be64(*reply, 16);
    const std::uint64_t transmitted = get_be64(*reply, 24);
    EXPECT_GE(received, before);
    EXPECT_LE(received, transmitted);
    EXPECT_LE(transmitted, after);
    ++answered;
    EXPECT_TRUE(wait_until([&] { return responder.replies->load() == answered; }, 5s));
    EXPECT_EQ(responder.requests->load(), answered);
  }
}

TEST_F(TimingResponderTest, IgnoresWhatIsNotATimingRequest) {
  send(timing_request(0x52, 31));
  send(timing_request(0x52, 33));
  send(timing_request(0x54));
  send(timing_request(0x52));  // answered after the three above were handled
  const auto reply = peer.receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->size(), 32u);
  EXPECT_EQ(responder.requests->load(), 1u);
  EXPECT_TRUE(wait_until([&] { return responder.replies->load() == 1; }, 5s));
}

TEST_F(TimingResponderTest, StopsWithinItsReadTimeoutWithoutTraffic) {
  // One request answered: the thread is back in its receive, waiting for a datagram that does
  // not come. Only the read timeout lets it see the flag.
  send(timing_request(0x52));
  ASSERT_TRUE(peer.receive());
  ASSERT_TRUE(wait_until([&] { return responder.replies->load() == 1; }, 5s));
  const auto started = std::chrono::steady_clock::now();
  responder.worker.request_stop();
  const bool ended = wait_until([&] { return responder.worker.finished(); }, 5s);
  // A receive that waits for ever would keep the join below waiting too: wake it.
  if (!ended) send(timing_request(0x52));
  EXPECT_TRUE(ended);
  EXPECT_TRUE(stop_timing_responder(responder, started + 1s));
  EXPECT_FALSE(responder.worker.has_thread());
  // Stopping again finds no thread and is true at once.
  EXPECT_TRUE(stop_timing_responder(responder, started));
}

TEST_F(TimingResponderTest, ADroppedResponderStopsItsThread) {
  const auto stop = responder.worker.stop_flag();
  const auto requests = responder.requests;
  responder = TimingResponder{};
  EXPECT_TRUE(stop->load());
  // The thread has ended and let go of its references.
  EXPECT_EQ(requests.use_count(), 1);
}

TEST(TimingResponderThread, EndsSilentlyAfterAFatalReceiveError) {
  auto socket = platform::UdpSocket::bind_any_ipv4().value();
  ASSERT_TRUE(socket.set_read_timeout(kTimingReadTimeout));
  auto watched = socket.duplicate().value();
  auto stop = std::make_shared<std::atomic<bool>>(false);
  auto requests = std::make_shared<std::atomic<std::uint64_t>>(0);
  auto replies = std::make_shared<std::atomic<std::uint64_t>>(0);
  auto thread = platform::spawn_named("timing-test", [&, socket = std::move(socket)]() mutable {
    run_timing_responder(std::move(socket), stop, requests, replies);
  });
  ASSERT_TRUE(thread);
  testing::make_next_receive_fail(watched);
  EXPECT_TRUE(wait_until([&] { return thread->is_finished(); }, 5s));
  EXPECT_TRUE(thread->join());
  EXPECT_FALSE(stop->load());
  EXPECT_EQ(requests->load(), 0u);
}

}  // namespace
}  // namespace kestrune::engine
