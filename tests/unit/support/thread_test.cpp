#include "support/thread.hpp"
#include "support/thread_testing.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "tests/support/wait_until.hpp"

namespace kestrune::support {
namespace {

using namespace std::chrono_literals;
using kestrune::testing::wait_until;

TEST(Thread, JoinReturnsTheBodysValue) {
  auto handle = spawn_named("worker", [] { return 42; });
  ASSERT_TRUE(handle);
  EXPECT_EQ(handle->join().value(), 42);
}

TEST(Thread, OsNameIsCutTo15BytesAndFullNameKept) {
  std::string os_name;
  auto handle = spawn_named("kestrune-discovery-owner", [&] {
    char buffer[32] = {};
    pthread_getname_np(pthread_self(), buffer, sizeof buffer);
    os_name = buffer;
  });
  ASSERT_TRUE(handle);
  EXPECT_EQ(handle->name(), "kestrune-discovery-owner");
  ASSERT_TRUE(handle->join());
  EXPECT_EQ(os_name, "kestrune-discov");
}

TEST(Thread, AbnormalEndsAreReportedByJoin) {
  struct Case {
    const char* name;
    std::function<void()> body;
    const char* message;
  };
  const Case cases[] = {
      {"ended", [] { end_thread("RTSP lock poisoned"); }, "RTSP lock poisoned"},
      {"threw", [] { throw std::runtime_error("boom"); }, "boom"},
      {"threw-other", [] { throw 7; }, "unknown exception"},
  };
  for (const Case& c : cases) {
    auto handle = spawn_named(c.name, c.body);
    ASSERT_TRUE(handle);
    auto joined = handle->join();
    ASSERT_FALSE(joined) << c.name;
    EXPECT_NE(joined.error().root_message().find(c.message), std::string::npos)
        << joined.error().describe();
    EXPECT_NE(joined.error().root_message().find(c.name), std::string::npos);
  }
}

TEST(Thread, IsFinishedAnswersWithoutWaiting) {
  std::atomic<bool> release{false};
  auto handle = spawn_named("waiter", [&] {
    (void)wait_until([&] { return release.load(); }, 20s);
  });
  ASSERT_TRUE(handle);
  EXPECT_FALSE(handle->is_finished());
  release = true;
  (void)wait_until([&] { return handle->is_finished(); }, 20s);
  EXPECT_TRUE(handle->is_finished());
  EXPECT_TRUE(handle->join());
}

TEST(Thread, InjectedSpawnFailureIsAnError) {
  inject_spawn_failure_for_testing("refused");
  auto refused = spawn_named("refused", [] {});
  auto other = spawn_named("accepted", [] {});
  inject_spawn_failure_for_testing("");
  EXPECT_FALSE(refused);
  ASSERT_TRUE(other);
  EXPECT_TRUE(other->join());
}

TEST(Thread, ReleasedHandleLetsTheThreadFinish) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  {
    auto handle = spawn_named("detached", [done] {
      std::this_thread::sleep_for(20ms);
      *done = true;
    });
    ASSERT_TRUE(handle);
  }
  (void)wait_until([&] { return done->load(); }, 20s);
  EXPECT_TRUE(*done);
}

}  // namespace
}  // namespace kestrune::support
