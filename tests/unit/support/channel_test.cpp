#include "support/channel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/wait_until.hpp"

namespace kestrune::support {
namespace {

using namespace std::chrono_literals;
using kestrune::testing::wait_until;

// Generous bounds: these only guard against a hang, never measure speed.
constexpr auto kHang = 10s;

TEST(Channel, DeliversInOrderThenDisconnectsAfterLastSender) {
  auto [tx, rx] = channel<int>(4);
  auto second = tx;
  ASSERT_TRUE(tx.send(1));
  ASSERT_TRUE(second.send(2));
  tx.close();
  EXPECT_EQ(rx.recv().value(), 1);
  second.close();
  EXPECT_EQ(rx.recv().value(), 2);  // queued values survive the senders
  EXPECT_EQ(rx.recv().error(), RecvError::disconnected);
}

TEST(Channel, FullChannelBlocksUntilTheReceiverTakesOne) {
  auto [tx, rx] = channel<int>(2);
  ASSERT_TRUE(tx.send(1));
  ASSERT_TRUE(tx.send(2));
  EXPECT_EQ(tx.try_send(3).error(), TrySendError::full);

  std::atomic<bool> third_sent{false};
  auto blocked = std::async(std::launch::async, [&, sender = tx]() mutable {
    const bool ok = sender.send(3);
    third_sent = true;
    return ok;
  });
  EXPECT_EQ(blocked.wait_for(100ms), std::future_status::timeout);
  EXPECT_FALSE(third_sent);
  EXPECT_EQ(rx.recv().value(), 1);
  ASSERT_EQ(blocked.wait_for(kHang), std::future_status::ready);
  EXPECT_TRUE(blocked.get());
  EXPECT_EQ(rx.recv().value(), 2);
  EXPECT_EQ(rx.recv().value(), 3);
}

TEST(Channel, ASenderThatFoundItFullWakesOnceItsRoomIsFree) {
  struct Case {
    std::size_t wake_room;  // as asked for
    int takes_to_wake;      // as clamped to 1 ... capacity
  };
  constexpr int kCapacity = 4;
  for (const Case c : {Case{1, 1}, Case{3, 3}, Case{4, 4}, Case{0, 1}, Case{9, 4}}) {
    SCOPED_TRACE("wake_room " + std::to_string(c.wake_room));
    auto [tx, rx] = channel<int>(kCapacity, c.wake_room);
    for (int i = 0; i < kCapacity; ++i) ASSERT_TRUE(tx.send(i));
    auto blocked =
        std::async(std::launch::async, [sender = tx]() mutable { return sender.send(kCapacity); });
    for (int taken = 0; taken < c.takes_to_wake; ++taken) {
      EXPECT_EQ(blocked.wait_for(50ms), std::future_status::timeout) << "after " << taken;
      EXPECT_EQ(rx.recv().value(), taken);
    }
    ASSERT_EQ(blocked.wait_for(kHang), std::future_status::ready);
    EXPECT_TRUE(blocked.get());
    // A send that finds room goes in at once, whatever the wake room.
    if (c.takes_to_wake > 1) {
      EXPECT_TRUE(tx.try_send(kCapacity + 1));
    }
    for (int next = c.takes_to_wake; next <= kCapacity; ++next) EXPECT_EQ(rx.recv().value(), next);
  }
}

TEST(Channel, DroppingTheReceiverWakesEveryBlockedSender) {
  auto [tx, rx] = channel<int>(1);
  ASSERT_TRUE(tx.send(0));
  std::vector<std::future<bool>> senders;
  for (int i = 0; i < 3; ++i) {
    senders.push_back(
        std::async(std::launch::async, [sender = tx, i]() mutable { return sender.send(i); }));
  }
  std::this_thread::sleep_for(50ms);
  rx.close();
  for (auto& sender : senders) {
    ASSERT_EQ(sender.wait_for(kHang), std::future_status::ready);
    EXPECT_FALSE(sender.get());
  }
  EXPECT_EQ(tx.try_send(9).error(), TrySendError::disconnected);
}

TEST(Channel, DroppingTheLastSenderWakesABlockedReceiver) {
  auto [tx, rx] = channel<int>(1);
  auto waiting = std::async(std::launch::async, [&] { return rx.recv(); });
  std::this_thread::sleep_for(50ms);
  tx.close();
  ASSERT_EQ(waiting.wait_for(kHang), std::future_status::ready);
  EXPECT_EQ(waiting.get().error(), RecvError::disconnected);
}

TEST(Channel, ReceiveTimeoutAndEmpty) {
  auto [tx, rx] = channel<int>(1);
  EXPECT_EQ(rx.try_recv().error(), RecvError::empty);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(rx.recv_timeout(30ms).error(), RecvError::timeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
  ASSERT_TRUE(tx.send(5));
  // A timeout too large to add to now saturates instead of overflowing into the past.
  EXPECT_EQ(rx.recv_timeout(std::chrono::steady_clock::duration::max()).value(), 5);
}

TEST(Channel, RendezvousSendWaitsForTheReceiver) {
  auto [tx, rx] = channel<std::string>(0);
  EXPECT_EQ(tx.try_send("nobody waiting").error(), TrySendError::full);

  std::atomic<bool> handed_over{false};
  auto sender = std::async(std::launch::async, [&, s = tx]() mutable {
    const bool ok = s.send("gate");
    handed_over = true;
    return ok;
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(handed_over) << "a rendezvous send returned before anyone received";
  EXPECT_EQ(rx.recv().value(), "gate");
  ASSERT_EQ(sender.wait_for(kHang), std::future_status::ready);
  EXPECT_TRUE(sender.get());
}

TEST(Channel, RendezvousSendFailsWhenTheReceiverGoesAway) {
  auto [tx, rx] = channel<int>(0);
  auto sender = std::async(std::launch::async, [s = tx]() mutable { return s.send(1); });
  std::this_thread::sleep_for(50ms);
  rx.close();
  ASSERT_EQ(sender.wait_for(kHang), std::future_status::ready);
  EXPECT_FALSE(sender.get());
}

TEST(Channel, RendezvousTrySendSucceedsWithAWaitingReceiver) {
  auto [tx, rx] = channel<int>(0);
  auto receiver = std::async(std::launch::async, [&] { return rx.recv_timeout(kHang); });
  const bool sent = wait_until([&] { return tx.try_send(7).has_value(); }, 10s);
  ASSERT_TRUE(sent);
  EXPECT_EQ(receiver.get().value(), 7);
}

TEST(Channel, UnboundedNeverBlocks) {
  auto [tx, rx] = unbounded_channel<int>();
  for (int i = 0; i < 10000; ++i) ASSERT_TRUE(tx.try_send(i).has_value());
  for (int i = 0; i < 10000; ++i) ASSERT_EQ(rx.try_recv().value(), i);
}

// Values keep their order, and are counted, while the queue's storage wraps around and while it
// grows wrapped.
TEST(Channel, OrderHoldsAcrossTheWrapAndTheGrowthOfItsRoom) {
  auto [tx, rx] = unbounded_channel<std::string>();
  int next_in = 0;
  int next_out = 0;
  const auto push = [&](int n) {
    for (int i = 0; i < n; ++i) ASSERT_TRUE(tx.try_send(std::to_string(next_in++)).has_value());
  };
  const auto pop = [&](int n) {
    for (int i = 0; i < n; ++i) ASSERT_EQ(rx.try_recv().value(), std::to_string(next_out++));
  };
  for (const auto& [in, out] : {std::pair{3, 2}, {3, 3}, {6, 2}, {9, 5}, {1, 10}, {40, 40}}) {
    push(in);
    pop(out);
    EXPECT_EQ(rx.size(), static_cast<std::size_t>(next_in - next_out));
  }
  EXPECT_EQ(next_in, next_out);
  EXPECT_EQ(rx.try_recv().error(), RecvError::empty);
}

TEST(Channel, ManyProducersLoseNothing) {
  auto [tx, rx] = channel<int>(8);
  constexpr int kProducers = 4;
  constexpr int kEach = 2000;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([sender = tx, p]() mutable {
      for (int i = 0; i < kEach; ++i) sender.send(p * kEach + i);
    });
  }
  tx.close();
  std::vector<bool> seen(kProducers * kEach, false);
  int count = 0;
  while (auto value = rx.recv_timeout(kHang)) {
    ASSERT_FALSE(seen[*value]);
    seen[*value] = true;
    ++count;
  }
  for (auto& t : producers) t.join();
  EXPECT_EQ(count, kProducers * kEach);
}

}  // namespace
}  // namespace kestrune::support
