#include "support/stoppable_worker.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <utility>

#include "platform/thread_name.hpp"

namespace kestrune::support {
namespace {

using platform::spawn_named;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A worker that, once its flag is set, keeps running for `linger` and then ends; `ended` is set
// as its last act. `ignore_flag_for` makes it run that long regardless of the flag.
struct Worker {
  std::shared_ptr<std::atomic<bool>> ended = std::make_shared<std::atomic<bool>>(false);
  StoppableWorker<void> worker{make_stop_flag()};

  Worker(Clock::duration linger, Clock::duration ignore_flag_for = 0s) {
    auto spawned = spawn_named("test-worker",
                               [stop = worker.stop_flag(), ended = ended, linger, ignore_flag_for] {
                                 const auto start = Clock::now();
                                 while (Clock::now() - start < ignore_flag_for)
                                   std::this_thread::sleep_for(1ms);
                                 for (int i = 0; i < 20000 && !stop->load(); ++i)
                                   std::this_thread::sleep_for(1ms);
                                 std::this_thread::sleep_for(linger);
                                 ended->store(true);
                               });
    if (spawned) worker.attach(std::move(*spawned));
  }
};

TEST(StoppableWorker, WorkerEndingSoonAfterItsFlagFinishesInTime) {
  Worker w(20ms);
  ASSERT_TRUE(w.worker.has_thread());
  const auto before = Clock::now();
  EXPECT_TRUE(w.worker.stop_and_join(before + 1s));
  const auto took = Clock::now() - before;
  EXPECT_GE(took, 20ms);
  EXPECT_LT(took, 1s);
  EXPECT_TRUE(*w.ended);
  EXPECT_FALSE(w.worker.has_thread());
}

TEST(StoppableWorker, WorkerIgnoringItsFlagIsLateAndStillJoined) {
  Worker w(0ms, 2500ms);
  ASSERT_TRUE(w.worker.has_thread());
  const auto before = Clock::now();
  EXPECT_FALSE(w.worker.stop_and_join(before + 1s));
  EXPECT_GE(Clock::now() - before, 2s);
  EXPECT_TRUE(*w.ended);  // returned only once the thread had ended
  EXPECT_FALSE(w.worker.has_thread());
}

TEST(StoppableWorker, PastDeadlineLooksOnceAndJoins) {
  // It lingers long enough after its flag that the one look finds it running even on a busy
  // machine; the call still returns only once it has ended.
  Worker running(500ms);
  ASSERT_TRUE(running.worker.has_thread());
  EXPECT_FALSE(running.worker.stop_and_join(Clock::now() - 1s));
  EXPECT_TRUE(*running.worker.stop_flag());
  EXPECT_TRUE(*running.ended);
  EXPECT_FALSE(running.worker.has_thread());

  Worker finished(0ms);
  ASSERT_TRUE(finished.worker.has_thread());
  finished.worker.request_stop();
  for (int i = 0; i < 5000 && !finished.worker.finished(); ++i) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(finished.worker.stop_and_join(Clock::now() - 1s));
}

TEST(StoppableWorker, WorkerWithoutThreadIsDoneAtOnceWithItsFlagSet) {
  StoppableWorker<int> none(make_stop_flag());
  EXPECT_TRUE(none.finished());
  EXPECT_TRUE(none.stop_and_join(Clock::now() + 1h));
  EXPECT_TRUE(*none.stop_flag());

  StoppableWorker<int> empty;  // without a flag either
  EXPECT_TRUE(empty.stop_and_join(Clock::now() + 1h));
  EXPECT_FALSE(empty.join());  // nothing to join is an error, not a wait
}

TEST(StoppableWorker, AbnormalEndIsDiscardedByTheStopAndReportedByTheJoin) {
  auto spawned = spawn_named("test-failing", []() -> int { end_thread("worker gave up"); });
  ASSERT_TRUE(spawned);
  StoppableWorker<int> stopped(make_stop_flag(), std::move(*spawned));
  EXPECT_TRUE(stopped.stop_and_join(Clock::now() + 5s));
  EXPECT_FALSE(stopped.has_thread());

  spawned = spawn_named("test-failing", []() -> int { end_thread("worker gave up"); });
  ASSERT_TRUE(spawned);
  StoppableWorker<int> joined(make_stop_flag(), std::move(*spawned));
  const Result<int> value = joined.join();
  ASSERT_FALSE(value);
  EXPECT_NE(value.error().describe().find("worker gave up"), std::string::npos);
  EXPECT_FALSE(joined.has_thread());
}

// The finished check answers at once while the body runs, and turns true once it has returned;
// the stop flag is what the body sees.
TEST(StoppableWorker, FinishedIsALookThatSeesTheBodyEnd) {
  auto release = std::make_shared<std::atomic<bool>>(false);
  StoppableWorker<int> worker(make_stop_flag());
  auto spawned = spawn_named("test-finished", [stop = worker.stop_flag(), release]() -> int {
    for (int i = 0; i < 20000 && !release->load(); ++i) std::this_thread::sleep_for(1ms);
    return stop->load() ? 1 : 0;
  });
  ASSERT_TRUE(spawned);
  worker.attach(std::move(*spawned));
  EXPECT_FALSE(worker.finished());  // held by `release`, which is not yet set
  worker.request_stop();
  release->store(true);
  EXPECT_TRUE(worker.wait_until(Clock::now() + 20s));
  EXPECT_TRUE(worker.finished());
  const Result<int> value = worker.join();
  ASSERT_TRUE(value);
  EXPECT_EQ(*value, 1);  // the body saw the flag set
}

// Dropping a worker that holds a thread sets its flag and joins it; a moved-from worker's drop
// touches nothing, and assigning over a running worker stops that one first.
TEST(StoppableWorker, DropAndAssignmentStopAndJoinTheThreadHeld) {
  auto ended = std::make_shared<std::atomic<bool>>(false);
  const auto spawn_waiting = [&ended](const StopFlag& stop) {
    return spawn_named("test-drop", [stop, ended] {
      for (int i = 0; i < 20000 && !stop->load(); ++i) std::this_thread::sleep_for(1ms);
      ended->store(true);
    });
  };

  StopFlag flag = make_stop_flag();
  {
    auto spawned = spawn_waiting(flag);
    ASSERT_TRUE(spawned);
    StoppableWorker<void> worker(flag, std::move(*spawned));
    StoppableWorker<void> moved(std::move(worker));
    // A moved-from worker's state is part of the contract.
    EXPECT_FALSE(worker.has_thread());  // NOLINT(bugprone-use-after-move)
    EXPECT_FALSE(worker.stop_flag());
    EXPECT_TRUE(moved.has_thread());
  }
  EXPECT_TRUE(flag->load());
  EXPECT_TRUE(ended->load());  // joined, not let run on

  ended->store(false);
  flag = make_stop_flag();
  auto spawned = spawn_waiting(flag);
  ASSERT_TRUE(spawned);
  StoppableWorker<void> worker(flag, std::move(*spawned));
  worker = StoppableWorker<void>(make_stop_flag());
  EXPECT_TRUE(flag->load());
  EXPECT_TRUE(ended->load());
  EXPECT_FALSE(worker.has_thread());
  EXPECT_FALSE(worker.stop_flag()->load());
}

}  // namespace
}  // namespace kestrune::support
