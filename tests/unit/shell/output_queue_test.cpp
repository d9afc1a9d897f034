#include "shell/output_queue.hpp"

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace kestrune::shell {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// Long enough for a thread that is not blocked to have finished its push.
constexpr auto kSettle = 200ms;
// Generous bound for anything that must happen.
constexpr auto kPatience = 10s;

void fill(OutputQueue& queue, int count, int first = 0) {
  for (int i = 0; i < count; ++i) ASSERT_TRUE(queue.push(json(first + i)));
}

std::vector<json> drain_after_finish(OutputQueue& queue) {
  queue.finish();
  std::vector<json> values;
  for (std::size_t i = 0; i <= kOutputCapacity + 1; ++i) {
    auto value = queue.pop();
    if (!value) return values;
    values.push_back(std::move(*value));
  }
  ADD_FAILURE() << "pop never returned none";
  return values;
}

TEST(OutputQueue, ValuesComeOutInPushOrderThenTheLatestValue) {
  OutputQueue queue;
  ASSERT_TRUE(queue.replace_latest(json("metrics")));
  fill(queue, 3);
  EXPECT_EQ(drain_after_finish(queue), (std::vector<json>{0, 1, 2, "metrics"}));
}

TEST(OutputQueue, BatchThatDoesNotFitWaitsForRoomAndGoesInWhole) {
  OutputQueue queue;
  fill(queue, static_cast<int>(kOutputCapacity) - 1);
  auto pushed = std::async(std::launch::async,
                           [&] { return queue.push_batch({json("a"), json("b")}, false); });
  ASSERT_EQ(pushed.wait_for(kSettle), std::future_status::timeout) << "batch of two did not wait";
  ASSERT_EQ(queue.pop(), json(0));
  ASSERT_EQ(pushed.wait_for(kPatience), std::future_status::ready);
  EXPECT_TRUE(pushed.get());
  const auto values = drain_after_finish(queue);
  ASSERT_EQ(values.size(), kOutputCapacity);
  EXPECT_EQ(values[kOutputCapacity - 2], json("a"));
  EXPECT_EQ(values[kOutputCapacity - 1], json("b"));
}

TEST(OutputQueue, ProducerWaitingForRoomIsRefusedWhenTheQueueEnds) {
  for (const bool by_close : {false, true}) {
    SCOPED_TRACE(by_close ? "closed" : "finished");
    OutputQueue queue;
    fill(queue, static_cast<int>(kOutputCapacity));
    auto pushed = std::async(std::launch::async, [&] { return queue.push(json("late")); });
    ASSERT_EQ(pushed.wait_for(kSettle), std::future_status::timeout);
    if (by_close) {
      queue.close();
    } else {
      queue.finish();
    }
    ASSERT_EQ(pushed.wait_for(kPatience), std::future_status::ready);
    EXPECT_FALSE(pushed.get());
  }
}

TEST(OutputQueue, BatchLargerThanTheCapacityIsNeverAdmitted) {
  OutputQueue queue;
  std::vector<json> huge(kOutputCapacity + 1, json(1));
  auto pushed =
      std::async(std::launch::async, [&] { return queue.push_batch(std::move(huge), false); });
  ASSERT_EQ(pushed.wait_for(kSettle), std::future_status::timeout);
  queue.finish();
  ASSERT_EQ(pushed.wait_for(kPatience), std::future_status::ready);
  EXPECT_FALSE(pushed.get());
  EXPECT_EQ(queue.pop(), std::nullopt);
}

TEST(OutputQueue, FinishedRefusesAtOnceButTheWriterStillDrains) {
  OutputQueue queue;
  fill(queue, 2);
  ASSERT_TRUE(queue.replace_latest(json("m")));
  queue.finish();
  EXPECT_FALSE(queue.push(json("after")));
  EXPECT_FALSE(queue.replace_latest(json("m2")));
  EXPECT_EQ(drain_after_finish(queue), (std::vector<json>{0, 1, "m"}));

  OutputQueue empty;
  empty.finish();
  EXPECT_FALSE(empty.push(json(1))) << "an empty finished queue still refuses";
}

TEST(OutputQueue, ClosedDropsEverythingAndRefusesEverything) {
  OutputQueue queue;
  fill(queue, 5);
  ASSERT_TRUE(queue.replace_latest(json("m")));
  queue.close();
  EXPECT_TRUE(queue.closed());
  EXPECT_EQ(queue.pop(), std::nullopt);
  EXPECT_FALSE(queue.push(json(1)));
  EXPECT_FALSE(queue.push_batch({json(1), json(2)}, true));
  EXPECT_FALSE(queue.replace_latest(json("m2")));
}

TEST(OutputQueue, NewerLatestValueReplacesAnUnwrittenOlderOne) {
  OutputQueue queue;
  fill(queue, 1);  // the FIFO is busy, so the slot is not taken yet
  ASSERT_TRUE(queue.replace_latest(json("first")));
  ASSERT_TRUE(queue.replace_latest(json("second")));
  EXPECT_EQ(drain_after_finish(queue), (std::vector<json>{0, "second"}));
}

TEST(OutputQueue, ClearLatestDropsTheUnwrittenLatestValue) {
  OutputQueue queue;
  ASSERT_TRUE(queue.replace_latest(json("stale metrics")));
  ASSERT_TRUE(queue.push_batch({json("error"), json("terminal")}, true));
  EXPECT_EQ(drain_after_finish(queue), (std::vector<json>{"error", "terminal"}));

  OutputQueue kept;
  ASSERT_TRUE(kept.replace_latest(json("metrics")));
  ASSERT_TRUE(kept.push_batch({json("state")}, false));
  EXPECT_EQ(drain_after_finish(kept), (std::vector<json>{"state", "metrics"}));
}

TEST(OutputQueue, PopWaitsForAValueFromAnotherThread) {
  OutputQueue queue;
  auto popped = std::async(std::launch::async, [&] { return queue.pop(); });
  ASSERT_EQ(popped.wait_for(kSettle), std::future_status::timeout);
  ASSERT_TRUE(queue.replace_latest(json("m")));
  ASSERT_EQ(popped.wait_for(kPatience), std::future_status::ready);
  EXPECT_EQ(popped.get(), json("m"));

  auto ended = std::async(std::launch::async, [&] { return queue.pop(); });
  ASSERT_EQ(ended.wait_for(kSettle), std::future_status::timeout);
  queue.close();
  ASSERT_EQ(ended.wait_for(kPatience), std::future_status::ready);
  EXPECT_EQ(ended.get(), std::nullopt);
}

// Many producers pushing pairs into a small-room queue while a writer takes values: nothing is
// lost, and the two values of every batch come out next to each other.
TEST(OutputQueue, ConcurrentBatchesStayTogetherAndNothingIsLost) {
  constexpr int kProducers = 6;
  constexpr int kBatchesEach = 300;
  OutputQueue queue;
  std::vector<json> written;
  std::thread writer([&] {
    while (auto value = queue.pop()) written.push_back(std::move(*value));
  });
  std::vector<std::thread> producers;
  std::atomic<int> refused{0};
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int b = 0; b < kBatchesEach; ++b) {
        const int id = p * kBatchesEach + b;
        if (!queue.push_batch({json{{"batch", id}, {"half", 0}}, json{{"batch", id}, {"half", 1}}},
                              false)) {
          refused.fetch_add(1);
        }
      }
    });
  }
  for (auto& producer : producers) producer.join();
  queue.finish();
  writer.join();
  EXPECT_EQ(refused.load(), 0);
  ASSERT_EQ(written.size(), static_cast<std::size_t>(2 * kProducers * kBatchesEach));
  std::map<int, int> last_of_producer;
  for (std::size_t i = 0; i < written.size(); i += 2) {
    ASSERT_EQ(written[i]["batch"], written[i + 1]["batch"]) << "batch split at " << i;
    ASSERT_EQ(written[i]["half"], 0);
    const int id = written[i]["batch"].get<int>();
    const int producer = id / kBatchesEach;
    // Each producer's batches come out in the order it pushed them.
    auto [it, first] = last_of_producer.try_emplace(producer, id);
    if (!first) {
      ASSERT_LT(it->second, id);
      it->second = id;
    }
  }
}

}  // namespace
}  // namespace kestrune::shell
