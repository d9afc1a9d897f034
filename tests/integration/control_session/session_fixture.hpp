#pragma once
// A session's shared state and a loopback receiver that accepts a whole session, with the start
// sequence run against it and what the session recorded read back.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/session_id.hpp"
#include "engine/core/session_report_merge.hpp"
#include "engine/core/session_shared.hpp"
#include "engine/session/rtsp_session.hpp"
#include "engine/session/start_sequence.hpp"
#include "platform/thread_name.hpp"
#include "support/thread.hpp"
#include "test-receiver/test_receiver.hpp"
#include "tests/support/wait_until.hpp"

namespace kestrune::engine::testing {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kestrune::testing::wait_until;

inline std::chrono::milliseconds elapsed_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// The quick close looks at the timing responder once, right after setting its stop flag, so it
// nearly always finds it still running (forced); it may just have ended (completed).
inline void expect_evidence(ShutdownEvidence actual, ShutdownEvidence expected, bool quick_close) {
  if (quick_close && expected.workerCleanup == CleanupOutcome::forced &&
      actual.workerCleanup == CleanupOutcome::completed) {
    actual.workerCleanup = CleanupOutcome::forced;
  }
  EXPECT_EQ(actual, expected);
}

class SessionFixture : public ::testing::Test {
 protected:
  void SetUp() override { start_receiver(); }

  void start_receiver(test_receiver::ReceiverOptions options = {}) {
    receiver.reset();
    auto started = test_receiver::TestReceiver::start(std::move(options));
    ASSERT_TRUE(started) << started.error().describe();
    receiver = std::move(*started);
  }

  SessionTarget target() const { return {platform::IpAddress::v4(127, 0, 0, 1), receiver->port()}; }

  std::expected<RtspSession, StartupFailure> start() {
    return start_airplay_session(target(), *shared);
  }

  // Starts the session into `record`, which must succeed.
  void start_session() {
    auto started = start();
    ASSERT_TRUE(started) << started.error().error.describe();
    record.emplace(std::move(*started));
  }

  // Poisons the connection's lock: a thread ends while it holds it.
  void poison_connection() {
    auto poisoner = platform::spawn_named("poisoner", [this] {
      auto held = record->connection->lock();
      support::end_thread("failed while holding the connection");
    });
    ASSERT_TRUE(poisoner);
    (void)poisoner->join();
  }

  bool deadline_armed() { return shared->deadline.lock()->has_value(); }
  ShutdownEvidence evidence() { return shared->live_report.lock()->evidence; }
  std::uint32_t forced_stages() { return shared->live_report.lock()->metrics.shutdownForcedStages; }

  std::vector<std::string> methods() const {
    std::vector<std::string> names;
    for (const auto& request : receiver->requests()) names.push_back(request.method);
    return names;
  }
  std::size_t count_of(std::string_view method) const {
    return receiver->requests_with(method).size();
  }

  std::unique_ptr<test_receiver::TestReceiver> receiver;
  std::shared_ptr<SessionShared> shared = make_session_shared(make_session_id().value(), 0.5F);
  std::optional<RtspSession> record;  // dropped before the receiver
};

}  // namespace kestrune::engine::testing
