// The feedback worker on a started session: its cadence, rejected and failed POSTs, the try-lock
// rule and how it stops. The interval is shortened through its parameter; the 2 s request timeout
// and the 100 ms slices are the real ones.

#include <gtest/gtest.h>

#include <thread>

#include "engine/session/feedback_worker.hpp"
#include "platform/thread_name.hpp"
#include "session_fixture.hpp"

namespace kestrune::engine::testing {
namespace {

using test_receiver::ScriptedReply;

constexpr auto kShortInterval = 200ms;

class FeedbackWorkerTest : public SessionFixture {
 protected:
  void SetUp() override {
    SessionFixture::SetUp();
    ASSERT_NO_FATAL_FAILURE(start_session());
  }
  void TearDown() override {
    if (worker) (void)stop_feedback_worker(*worker, Clock::now() + 1s);
  }

  void spawn(std::chrono::milliseconds interval = kShortInterval) {
    spawned_at = Clock::now();
    auto spawned = spawn_feedback_worker(record->connection, record->url, shared, interval);
    ASSERT_TRUE(spawned) << spawned.error().describe();
    worker.emplace(std::move(*spawned));
  }

  // Stops the worker with the runner's 1 s allowance; whether it ended within it.
  bool stop() { return stop_feedback_worker(*worker, Clock::now() + 1s); }

  FeedbackTotals totals() const { return worker->counters->totals(); }
  bool failed() const { return worker->failed->load(); }
  bool wait_for_posts(std::size_t count, std::chrono::milliseconds limit = 5s) {
    return receiver->wait_for_requests(kStartRequests + count, limit);
  }
  std::vector<test_receiver::ReceivedRequest> posts() const {
    auto all = receiver->requests_with("POST");
    all.erase(all.begin(), all.begin() + 2);  // the two of pair-setup
    return all;
  }
  std::uint64_t feedback_warnings() {
    auto book = shared->mailbox->warnings.lock();
    for (std::size_t i = 0; i < book->pending_count; ++i) {
      const auto& pending = book->pending[i];
      if (pending.key ==
          WarningKey{WarningCode::optional_request_rejected, SessionStage::feedback}) {
        return pending.occurrences;
      }
    }
    return 0;
  }

  static constexpr std::size_t kStartRequests = 7;
  Clock::time_point spawned_at;
  std::optional<FeedbackWorkerHandle> worker;
};

TEST_F(FeedbackWorkerTest, PostsToTheFeedbackUrlOncePerInterval) {
  ASSERT_NO_FATAL_FAILURE(spawn());
  ASSERT_TRUE(wait_until([&] { return totals().succeeded >= 3; }, 5s));
  EXPECT_TRUE(stop());
  auto sent = posts();
  if (sent.size() > totals().succeeded) sent.pop_back();  // the one the stop cut short
  ASSERT_GE(sent.size(), 3u);
  for (const auto& post : sent) {
    EXPECT_EQ(post.uri, record->url + "/feedback");
    EXPECT_EQ(post.header("Content-Type"), "application/x-apple-binary-plist");
    EXPECT_EQ(post.header("Content-Length"), std::nullopt);
    EXPECT_TRUE(post.body.empty());
    EXPECT_TRUE(post.encrypted);
  }
  const FeedbackTotals counted = totals();
  EXPECT_EQ(counted.succeeded, sent.size());
  EXPECT_LE(counted.attempts - counted.succeeded, 1u);  // a round the stop cut short
  EXPECT_EQ(counted.rejected + counted.transportFailures, 0u);
  EXPECT_FALSE(failed());
  EXPECT_EQ(record->connection->lock()->request_timeout(), kRtspRequestTimeout);
}

TEST_F(FeedbackWorkerTest, TheFirstPostWaitsOneIntervalAndRoundsAreSpacedByIt) {
  ASSERT_NO_FATAL_FAILURE(spawn(400ms));
  std::vector<Clock::time_point> arrivals;
  for (std::size_t n = 1; n <= 3; ++n) {
    ASSERT_TRUE(wait_for_posts(n));
    arrivals.push_back(Clock::now());
  }
  EXPECT_GE(arrivals[0] - spawned_at, 350ms);
  EXPECT_GE(arrivals[1] - arrivals[0], 300ms);  // generous: the wake-ups are not exact
  EXPECT_GE(arrivals[2] - arrivals[1], 300ms);
  EXPECT_LT(arrivals[2] - spawned_at, 4s);
}

TEST_F(FeedbackWorkerTest, BySpawnDefaultTheFirstPostComesAboutTwoSecondsLater) {
  spawned_at = Clock::now();
  auto spawned = spawn_feedback_worker(record->connection, record->url, shared);
  ASSERT_TRUE(spawned);
  worker.emplace(std::move(*spawned));
  EXPECT_FALSE(wait_for_posts(1, 1500ms));
  ASSERT_TRUE(wait_for_posts(1, 3s));
  EXPECT_GE(elapsed_since(spawned_at), 1900ms);
}

TEST_F(FeedbackWorkerTest, RejectedPostsAreCountedAndWarnedAboutAndTheWorkerGoesOn) {
  receiver->script("POST", "*/feedback", ScriptedReply::status(404, "Not Found"),
                   test_receiver::kEveryTime);
  ASSERT_NO_FATAL_FAILURE(spawn());
  ASSERT_TRUE(wait_until([&] { return totals().rejected >= 3; }, 5s));
  EXPECT_FALSE(record->connection->lock()->is_poisoned());
  EXPECT_TRUE(stop());
  const FeedbackTotals counted = totals();
  EXPECT_EQ(counted.succeeded, 0u);
  EXPECT_EQ(counted.attempts, counted.rejected);
  EXPECT_FALSE(failed());
  EXPECT_EQ(feedback_warnings(), counted.rejected);  // one key, coalesced
}

TEST_F(FeedbackWorkerTest, ASilentReceiverFailsThePostAfterTwoSecondsAndEndsTheWorker) {
  receiver->script("POST", "*/feedback", ScriptedReply::silence());
  ASSERT_NO_FATAL_FAILURE(spawn());
  ASSERT_TRUE(wait_for_posts(1));
  const auto posted_at = Clock::now();
  ASSERT_TRUE(wait_until([&] { return worker->worker.finished(); }, 6s));
  EXPECT_GE(Clock::now() - posted_at, 1800ms);
  EXPECT_TRUE(failed());
  const FeedbackTotals counted = totals();
  EXPECT_EQ(counted.attempts, 1u);
  EXPECT_EQ(counted.transportFailures, 1u);
  EXPECT_TRUE(record->connection->lock()->is_poisoned());
  EXPECT_EQ(record->connection->lock()->request_timeout(), kRtspRequestTimeout);
  EXPECT_TRUE(stop());
}

TEST_F(FeedbackWorkerTest, AStopDuringTheWaitEndsItWithoutAPost) {
  ASSERT_NO_FATAL_FAILURE(spawn(10s));
  std::this_thread::sleep_for(150ms);
  const auto stop_at = Clock::now();
  EXPECT_TRUE(stop());
  EXPECT_LT(elapsed_since(stop_at), 1s);
  EXPECT_EQ(totals().attempts, 0u);
  EXPECT_TRUE(posts().empty());
}

TEST_F(FeedbackWorkerTest, AStopDuringThePostCancelsItAndPoisonsTheConnection) {
  receiver->script("POST", "*/feedback", ScriptedReply::silence());
  ASSERT_NO_FATAL_FAILURE(spawn());
  ASSERT_TRUE(wait_for_posts(1));
  const auto stop_at = Clock::now();
  EXPECT_TRUE(stop());
  EXPECT_LT(elapsed_since(stop_at), 1s);
  EXPECT_FALSE(failed());
  EXPECT_EQ(totals().transportFailures, 0u);
  EXPECT_TRUE(record->connection->lock()->is_poisoned());
}

TEST_F(FeedbackWorkerTest, TheWorkerOnlyTriesTheLockAndPostsOnceItIsFree) {
  std::optional<support::Mutex<RtspConnection>::Guard> held;
  held.emplace(record->connection->lock());
  ASSERT_NO_FATAL_FAILURE(spawn());
  ASSERT_TRUE(wait_until([&] { return totals().attempts == 1; }, 2s));
  std::this_thread::sleep_for(300ms);  // longer than an interval: still no POST
  EXPECT_TRUE(posts().empty());
  held.reset();
  EXPECT_TRUE(wait_for_posts(1));
}

TEST_F(FeedbackWorkerTest, AStopWhileWaitingForTheLockSendsNothing) {
  std::optional<support::Mutex<RtspConnection>::Guard> held;
  held.emplace(record->connection->lock());
  ASSERT_NO_FATAL_FAILURE(spawn());
  ASSERT_TRUE(wait_until([&] { return totals().attempts == 1; }, 2s));
  EXPECT_TRUE(stop());
  held.reset();
  const FeedbackTotals counted = totals();
  EXPECT_EQ(counted.attempts, counted.succeeded + counted.rejected + counted.transportFailures + 1);
  EXPECT_TRUE(posts().empty());
  EXPECT_FALSE(record->connection->lock()->is_poisoned());
}

TEST_F(FeedbackWorkerTest, APoisonedLockIsATransportFailureAndTheConnectionIsNotTouched) {
  ASSERT_NO_FATAL_FAILURE(poison_connection());
  record->connection->lock()->set_request_timeout(1s);
  ASSERT_NO_FATAL_FAILURE(spawn());
  ASSERT_TRUE(wait_until([&] { return worker->worker.finished(); }, 2s));
  EXPECT_TRUE(failed());
  EXPECT_EQ(totals().transportFailures, 1u);
  EXPECT_TRUE(posts().empty());
  EXPECT_EQ(record->connection->lock()->request_timeout(), 1s);
}

TEST_F(FeedbackWorkerTest, ThePostPutsTheRequestTimeoutBackToTenSeconds) {
  record->connection->lock()->set_request_timeout(1s);
  ASSERT_NO_FATAL_FAILURE(spawn());
  ASSERT_TRUE(wait_until([&] { return totals().succeeded == 1; }, 5s));
  EXPECT_EQ(record->connection->lock()->request_timeout(), kRtspRequestTimeout);
}

TEST_F(FeedbackWorkerTest, DroppingTheHandleStopsTheThread) {
  ASSERT_NO_FATAL_FAILURE(spawn(10s));
  const auto thread_stop = worker->worker.stop_flag();
  const auto started_at = Clock::now();
  worker.reset();
  EXPECT_TRUE(thread_stop->load());
  EXPECT_LT(elapsed_since(started_at), 1s);
}

}  // namespace
}  // namespace kestrune::engine::testing
