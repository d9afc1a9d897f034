#include "engine/core/worker_stop.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>

#include "tests/support/wait_until.hpp"

namespace kestrune::engine {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kestrune::testing::wait_until;

// A worker that, once its flag is set, keeps running for `linger` and then ends; `ended` is set
// as its last act. `ignore_flag_for` makes it run that long regardless of the flag.
struct Worker {
  std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<std::atomic<bool>> ended = std::make_shared<std::atomic<bool>>(false);
  std::optional<support::JoinHandle<void>> thread;

  Worker(Clock::duration linger, Clock::duration ignore_flag_for = 0s) {
    auto spawned =
        support::spawn_named("test-worker", [stop = stop, ended = ended, linger, ignore_flag_for] {
          const auto start = Clock::now();
          while (Clock::now() - start < ignore_flag_for) std::this_thread::sleep_for(1ms);
          (void)wait_until([&] { return stop->load(); }, 40s);
          std::this_thread::sleep_for(linger);
          ended->store(true);
        });
    if (spawned) thread.emplace(std::move(*spawned));
  }
};

TEST(StopWorkerUntil, WorkerEndingSoonAfterItsFlagFinishesInTime) {
  Worker worker(20ms);
  ASSERT_TRUE(worker.thread);
  const auto before = Clock::now();
  EXPECT_TRUE(stop_worker_until(*worker.stop, worker.thread, before + 1s));
  const auto took = Clock::now() - before;
  EXPECT_GE(took, 20ms);
  EXPECT_LT(took, 1s);
  EXPECT_TRUE(*worker.ended);
  EXPECT_FALSE(worker.thread.has_value());
}

TEST(StopWorkerUntil, WorkerIgnoringItsFlagIsLateAndStillJoined) {
  Worker worker(0ms, 2500ms);
  ASSERT_TRUE(worker.thread);
  const auto before = Clock::now();
  EXPECT_FALSE(stop_worker_until(*worker.stop, worker.thread, before + 1s));
  EXPECT_GE(Clock::now() - before, 2s);
  EXPECT_TRUE(*worker.ended);  // returned only once the thread had ended
  EXPECT_FALSE(worker.thread.has_value());
}

TEST(StopWorkerUntil, PastDeadlineLooksOnceAndJoins) {
  // It lingers long enough after its flag that the one look finds it running even on a busy
  // machine; the call still returns only once it has ended.
  Worker running(500ms);
  ASSERT_TRUE(running.thread);
  EXPECT_FALSE(stop_worker_until(*running.stop, running.thread, Clock::now() - 1s));
  EXPECT_TRUE(*running.stop);
  EXPECT_TRUE(*running.ended);
  EXPECT_FALSE(running.thread.has_value());

  Worker finished(0ms);
  ASSERT_TRUE(finished.thread);
  *finished.stop = true;
  (void)wait_until([&] { return finished.thread->is_finished(); }, 10s);
  EXPECT_TRUE(stop_worker_until(*finished.stop, finished.thread, Clock::now() - 1s));
}

TEST(StopWorkerUntil, WorkerWithoutThreadIsDoneAtOnceWithItsFlagSet) {
  std::atomic<bool> stop{false};
  std::optional<support::JoinHandle<int>> none;
  EXPECT_TRUE(stop_worker_until(stop, none, Clock::now() + 1h));
  EXPECT_TRUE(stop);
}

TEST(StopWorkerUntil, AbnormalEndIsDiscardedByTheJoin) {
  std::atomic<bool> stop{false};
  auto spawned =
      support::spawn_named("test-failing", []() -> int { support::end_thread("worker gave up"); });
  ASSERT_TRUE(spawned);
  std::optional<support::JoinHandle<int>> thread(std::move(*spawned));
  EXPECT_TRUE(stop_worker_until(stop, thread, Clock::now() + 5s));
  EXPECT_FALSE(thread.has_value());
}

}  // namespace
}  // namespace kestrune::engine
