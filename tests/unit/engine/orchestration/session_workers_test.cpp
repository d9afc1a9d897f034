// Stopping a session's worker set within the shutdown deadline, with stand-in threads for
// "rt-sender" and "rt-control" that end promptly, late, or badly.

#include "engine/orchestration/session_workers.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "engine/core/session_id.hpp"
#include "platform/thread_name.hpp"
#include "support/thread.hpp"
#include "tests/support/wait_until.hpp"

namespace kestrune::engine {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kestrune::testing::wait_until;

struct WorkerCase {
  const char* name;
  std::chrono::milliseconds sender_lingers;   // after its channel closed
  std::chrono::milliseconds control_lingers;  // after its stop flag was set
  bool sender_ends_abnormally;
  SessionError sender_returns;
  std::chrono::milliseconds deadline_in;  // from the stop
  std::uint32_t late;
  SessionError result;
  std::uint32_t forced_stages;
  CleanupOutcome worker_cleanup;
};

void PrintTo(const WorkerCase& c, std::ostream* os) { *os << c.name; }

class StopSessionWorkers : public ::testing::TestWithParam<WorkerCase> {};

TEST_P(StopSessionWorkers, WaitsEachInTurnAndCountsTheLateOnes) {
  const WorkerCase& c = GetParam();
  auto shared = make_session_shared(make_session_id().value(), 0.5F);
  auto control_stop = std::make_shared<std::atomic<bool>>(false);
  auto sender_ended = std::make_shared<std::atomic<bool>>(false);
  auto control_saw_sender_ended = std::make_shared<std::atomic<bool>>(false);
  auto [packets, queue] = support::channel<OutboundPacket>(8);

  auto sender = platform::spawn_named(
      "rt-sender", [queue = std::move(queue), c, sender_ended]() mutable -> SessionError {
        for (int i = 0; i < 1000 && queue.recv(); ++i) {  // ends when the channel closes
        }
        std::this_thread::sleep_for(c.sender_lingers);
        sender_ended->store(true);
        if (c.sender_ends_abnormally) support::end_thread("sender broke");
        return c.sender_returns;
      });
  auto control = platform::spawn_named(
      "rt-control", [c, control_stop, sender_ended, control_saw_sender_ended] {
        (void)wait_until([&] { return control_stop->load(); }, 20s);
        control_saw_sender_ended->store(sender_ended->load());
        std::this_thread::sleep_for(c.control_lingers);
      });
  ASSERT_TRUE(sender && control);

  SessionWorkers workers(std::move(packets), shared, control_stop);
  workers.sender.emplace(std::move(*sender));
  workers.control.attach(std::move(*control));
  const auto stopped_at = Clock::now();
  const WorkerStopReport report = stop_session_workers(workers, stopped_at + c.deadline_in);

  EXPECT_EQ(report.late_workers, c.late);
  EXPECT_EQ(report.sender_result, c.result);
  EXPECT_EQ(report.feedback_failed, false);
  EXPECT_EQ(report.feedback.attempts, 0U);
  EXPECT_TRUE(control_saw_sender_ended->load());  // "rt-control" goes last
  EXPECT_FALSE(workers.sender || workers.control.has_thread() || workers.packets);
  // A late worker is still joined, however long it takes.
  EXPECT_GE(Clock::now() - stopped_at, std::max(c.sender_lingers, c.control_lingers));
  const SessionReport live = *shared->live_report.lock();
  EXPECT_EQ(live.metrics.shutdownForcedStages, c.forced_stages);
  EXPECT_EQ(live.evidence.workerCleanup, c.worker_cleanup);
}

const SessionError kSenderFailed{SessionErrorKind::stream_failed, SessionStage::stream_worker,
                                 true};

INSTANTIATE_TEST_SUITE_P(
    Workers, StopSessionWorkers,
    ::testing::Values(
        WorkerCase{"Prompt", 0ms, 0ms, false, SessionError::success(), 10s, 0,
                   SessionError::success(), 0, CleanupOutcome::completed},
        WorkerCase{"SenderFailedBeforeTheStop", 0ms, 0ms, false, kSenderFailed, 10s, 0,
                   kSenderFailed, 0, CleanupOutcome::completed},
        WorkerCase{"SenderEndedAbnormally", 0ms, 0ms, true, SessionError::success(), 10s, 0,
                   SessionError::of(SessionErrorKind::internal_error, SessionStage::stream_worker),
                   0, CleanupOutcome::completed},
        WorkerCase{"SenderLingers1500Ms", 1500ms, 0ms, false, SessionError::success(), 10s, 1,
                   SessionError::success(), 1, CleanupOutcome::forced},
        WorkerCase{"BothLate", 1200ms, 1200ms, false, SessionError::success(), 10s, 2,
                   SessionError::success(), 2, CleanupOutcome::forced},
        // Each gets min(deadline, now + 1 s): with the deadline 300 ms away a worker that takes
        // 600 ms is late, and the deadline has passed by the end.
        WorkerCase{"LateAgainstANearDeadline", 0ms, 600ms, false, SessionError::success(), 300ms, 1,
                   SessionError::success(), 1, CleanupOutcome::forced}),
    [](const auto& p) { return std::string(p.param.name); });

// The feedback worker goes first: it is off the control connection before the packet channel is
// closed and before "rt-control" is told to stop. What it counted and its failure flag are
// reported.
TEST(StopSessionWorkers, StopsTheFeedbackWorkerFirstAndReportsWhatItCounted) {
  auto shared = make_session_shared(make_session_id().value(), 0.5F);
  auto control_stop = std::make_shared<std::atomic<bool>>(false);
  auto channel_closed = std::make_shared<std::atomic<bool>>(false);
  auto [packets, queue] = support::channel<OutboundPacket>(8);
  auto sender = platform::spawn_named(
      "rt-sender", [queue = std::move(queue), channel_closed]() mutable -> SessionError {
        for (int i = 0; i < 1000 && queue.recv(); ++i) {  // ends when the channel closes
        }
        channel_closed->store(true);
        return SessionError::success();
      });
  ASSERT_TRUE(sender);

  FeedbackWorkerHandle feedback;
  feedback.worker = support::StoppableWorker<void>(support::make_stop_flag());
  feedback.failed = std::make_shared<std::atomic<bool>>(true);  // a POST failed earlier
  feedback.counters = std::make_shared<FeedbackCounters>();
  feedback.counters->attempts.store(4);
  feedback.counters->succeeded.store(2);
  feedback.counters->rejected.store(1);
  feedback.counters->transport_failures.store(1);
  auto saw_channel_closed = std::make_shared<std::atomic<int>>(-1);
  auto saw_control_stop = std::make_shared<std::atomic<int>>(-1);
  auto thread =
      platform::spawn_named("rtsp-feedback", [stop = feedback.worker.stop_flag(), channel_closed,
                                              control_stop, saw_channel_closed, saw_control_stop] {
        (void)wait_until([&] { return stop->load(); }, 40s);
        saw_channel_closed->store(channel_closed->load() ? 1 : 0);
        saw_control_stop->store(control_stop->load() ? 1 : 0);
      });
  ASSERT_TRUE(thread);
  feedback.worker.attach(std::move(*thread));

  SessionWorkers workers(std::move(packets), shared, control_stop);
  workers.sender.emplace(std::move(*sender));
  workers.feedback.emplace(std::move(feedback));
  const WorkerStopReport report = stop_session_workers(workers, Clock::now() + 10s);

  EXPECT_EQ(saw_channel_closed->load(), 0);
  EXPECT_EQ(saw_control_stop->load(), 0);
  EXPECT_TRUE(channel_closed->load());
  EXPECT_TRUE(report.feedback_failed);
  EXPECT_EQ(report.feedback.attempts, 4U);
  EXPECT_EQ(report.feedback.succeeded, 2U);
  EXPECT_EQ(report.feedback.rejected, 1U);
  EXPECT_EQ(report.feedback.transportFailures, 1U);
  EXPECT_EQ(report.late_workers, 0U);
  EXPECT_FALSE(workers.feedback || workers.sender);
}

TEST(StopSessionWorkers, APassedDeadlineCountsAForcedStageEvenWhenNoneWasLate) {
  auto shared = make_session_shared(make_session_id().value(), 0.5F);
  auto [packets, queue] = support::channel<OutboundPacket>(8);
  SessionWorkers workers(std::move(packets), shared, std::make_shared<std::atomic<bool>>(false));
  const WorkerStopReport report = stop_session_workers(workers, Clock::now() - 1ms);
  EXPECT_EQ(report.late_workers, 0U);
  EXPECT_EQ(shared->live_report.lock()->metrics.shutdownForcedStages, 1U);
  EXPECT_EQ(shared->live_report.lock()->evidence.workerCleanup, CleanupOutcome::completed);
}

TEST(StopSessionWorkers, DroppingAStoppedSetOnlySetsTheFlagAgain) {
  auto shared = make_session_shared(make_session_id().value(), 0.5F);
  auto control_stop = std::make_shared<std::atomic<bool>>(false);
  {
    auto [packets, queue] = support::channel<OutboundPacket>(8);
    SessionWorkers workers(std::move(packets), shared, control_stop);
    (void)stop_session_workers(workers, Clock::now() + 10s);
    control_stop->store(false);
  }
  EXPECT_TRUE(control_stop->load());
  EXPECT_EQ(shared->live_report.lock()->metrics.shutdownForcedStages, 0U);
  EXPECT_TRUE(shared->deadline.lock()->has_value());  // the drop armed it
}

}  // namespace
}  // namespace kestrune::engine
