#include "support/thread.hpp"
#include "support/thread_testing.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/thread_name.hpp"
#include "tests/support/wait_until.hpp"

namespace kestrune::support {
namespace {

using platform::spawn_named;

using namespace std::chrono_literals;
using kestrune::testing::wait_until;

TEST(Thread, JoinReturnsTheBodysValue) {
  auto handle = spawn_named("worker", [] { return 42; });
  ASSERT_TRUE(handle);
  EXPECT_EQ(handle->join().value(), 42);
}

// What the test namer last saw: the name and the thread it ran on.
struct NamerCall {
  std::mutex mutex;
  std::string name;                   // guarded by mutex
  std::optional<std::thread::id> on;  // guarded by mutex
};
NamerCall& namer_call() {
  static NamerCall call;
  return call;
}

// What the body finds: the name the namer got, when it ran on the body's own thread.
std::string name_given_to_this_thread() {
  NamerCall& call = namer_call();
  const std::lock_guard<std::mutex> lock(call.mutex);
  return call.on == std::this_thread::get_id() ? call.name : std::string("not named");
}

// The namer runs on the new thread, before the body, with the full name; without one the thread
// runs all the same.
TEST(Thread, TheNamerGetsTheFullNameOnTheNewThreadFirst) {
  const ThreadNamer record_name = [](std::string_view name) {
    NamerCall& call = namer_call();
    const std::lock_guard<std::mutex> lock(call.mutex);
    call.name = std::string(name);
    call.on = std::this_thread::get_id();
  };
  auto handle = spawn_thread("kestrune-discovery-owner", ThreadEnvironment{record_name},
                             name_given_to_this_thread);
  ASSERT_TRUE(handle);
  EXPECT_EQ(handle->name(), "kestrune-discovery-owner");
  EXPECT_EQ(handle->join().value(), "kestrune-discovery-owner");

  {
    // A joined thread's id may be given to the next one, so the record is cleared first.
    const std::lock_guard<std::mutex> lock(namer_call().mutex);
    namer_call().on.reset();
  }
  auto unnamed = spawn_thread("unnamed", ThreadEnvironment{}, name_given_to_this_thread);
  ASSERT_TRUE(unnamed);
  EXPECT_EQ(unnamed->join().value(), "not named");
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

// The lines the test line writer was given.
struct WrittenLines {
  std::mutex mutex;
  std::vector<std::string> lines;  // guarded by mutex
};
WrittenLines& written_lines() {
  static WrittenLines written;
  return written;
}

TEST(Thread, AnAbnormalEndGivesTheLineWriterOneLineAndANormalEndNone) {
  const ThreadLineWriter record_line = [](std::string_view line) {
    const std::lock_guard<std::mutex> lock(written_lines().mutex);
    written_lines().lines.emplace_back(line);
  };
  const ThreadEnvironment environment{nullptr, record_line};
  auto ended = spawn_thread("rtsp-feedback", environment, [] { end_thread("RTSP lock poisoned"); });
  ASSERT_TRUE(ended);
  EXPECT_FALSE(ended->join());
  auto normal = spawn_thread("rt-sender", environment, [] {});
  ASSERT_TRUE(normal);
  EXPECT_TRUE(normal->join());
  // Without a writer the end is still reported by join.
  auto unwritten = spawn_thread("unwritten", ThreadEnvironment{}, [] { throw 7; });
  ASSERT_TRUE(unwritten);
  EXPECT_FALSE(unwritten->join());

  const std::lock_guard<std::mutex> lock(written_lines().mutex);
  EXPECT_EQ(written_lines().lines,
            std::vector<std::string>{"error[thread]: rtsp-feedback ended: RTSP lock poisoned"});
}

// What happened on spawned threads, in order, for the end hook's test.
std::vector<std::string>& thread_events() {
  static std::vector<std::string> events;  // written by one spawned thread at a time
  return events;
}

// The end hook runs on the thread, after the body and after the line of an abnormal end, and
// before join returns.
TEST(Thread, TheEndHookRunsLastOnTheThread) {
  static thread_local bool on_body_thread = false;
  const ThreadEnvironment environment{
      nullptr, [](std::string_view) { thread_events().emplace_back("line"); },
      [] { thread_events().emplace_back(on_body_thread ? "end" : "end elsewhere"); }};
  auto normal = spawn_thread("normal", environment, [] {
    on_body_thread = true;
    thread_events().emplace_back("body");
  });
  ASSERT_TRUE(normal);
  EXPECT_TRUE(normal->join());
  auto ended = spawn_thread("ended", environment, [] {
    on_body_thread = true;
    thread_events().emplace_back("body");
    end_thread("history lock poisoned");
  });
  ASSERT_TRUE(ended);
  EXPECT_FALSE(ended->join());
  EXPECT_EQ(thread_events(), (std::vector<std::string>{"body", "end", "body", "line", "end"}));
}

TEST(Thread, IsFinishedAnswersWithoutWaiting) {
  std::atomic<bool> release{false};
  auto handle =
      spawn_named("waiter", [&] { (void)wait_until([&] { return release.load(); }, 20s); });
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
