// Every exchange on a started session's shared connection writes its lines ("rtsp method=", the
// stale-answer warnings) with the connection's lock free, so a reader of standard error can never
// hold up the other thread that needs the connection.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "engine/session/control_requests.hpp"
#include "engine/session/feedback_worker.hpp"
#include "engine/session/session_teardown.hpp"
#include "platform/stderr_log.hpp"
#include "platform/stderr_log_testing.hpp"
#include "session_fixture.hpp"

namespace kestrune::engine::testing {
namespace {

struct ExchangeCase {
  const char* name;
  std::function<void(RtspSession&, const std::shared_ptr<SessionShared>&)> run;
  std::vector<std::string> methods;  // of the lines written, each once, in order of first line
  std::size_t stale_answers = 0;     // sent by the receiver before the answer to SET_PARAMETER
  std::size_t stale_lines = 0;       // of those, the warnings written
};

void PrintTo(const ExchangeCase& c, std::ostream* out) { *out << c.name; }

class ExchangeLineTest : public SessionFixture, public ::testing::WithParamInterface<ExchangeCase> {
 protected:
  void SetUp() override {
    SessionFixture::SetUp();
    ASSERT_NO_FATAL_FAILURE(start_session());
  }
  void TearDown() override { platform::set_stderr_observer_for_testing({}); }
};

TEST_P(ExchangeLineTest, WritesItsLineWithTheLockFree) {
  const ExchangeCase& c = GetParam();
  if (c.stale_answers > 0) {
    test_receiver::ScriptedReply reply;
    test_receiver::ScriptedResponse stale;
    stale.cseq = test_receiver::CSeqLine::shifted(-1);
    reply.responses.assign(c.stale_answers, stale);
    reply.responses.emplace_back();
    receiver->script("SET_PARAMETER", "", std::move(reply));
  }
  SharedRtspConnection connection = record->connection;
  std::mutex mutex;
  std::vector<std::string> methods;
  std::size_t stale_lines = 0;
  std::vector<std::string> written_under_lock;
  // Another thread tries the lock while each line is being written: the writer must not hold it.
  platform::set_stderr_observer_for_testing([&](std::string_view line) {
    const bool free =
        std::async(std::launch::async, [&] { return connection->try_lock().has_value(); }).get();
    std::lock_guard<std::mutex> lock(mutex);
    if (!free) written_under_lock.emplace_back(line);
    if (line.starts_with("warning[rtsp_stale]: ")) ++stale_lines;
    if (!line.starts_with("rtsp method=")) return;
    const std::string method(line.substr(12, line.find(' ', 12) - 12));
    if (std::find(methods.begin(), methods.end(), method) == methods.end()) {
      methods.push_back(method);
    }
  });
  c.run(*record, shared);
  platform::set_stderr_observer_for_testing({});
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(methods, c.methods);
  EXPECT_EQ(stale_lines, c.stale_lines);
  EXPECT_EQ(written_under_lock, std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Exchanges, ExchangeLineTest,
    ::testing::Values(
        ExchangeCase{"InitialFlushAndVolume",
                     [](RtspSession& session, const std::shared_ptr<SessionShared>& shared) {
                       ASSERT_TRUE(send_initial_flush(session, shared->stop_requested));
                       ASSERT_TRUE(send_initial_volume(session, 0.5F, shared->stop_requested));
                     },
                     {"FLUSH", "SET_PARAMETER"}},
        ExchangeCase{"VolumeUpdate",
                     [](RtspSession& session, const std::shared_ptr<SessionShared>&) {
                       ASSERT_TRUE(send_volume_update(session, 0.25F));
                     },
                     {"SET_PARAMETER"}},
        // A flood of stale answers keeps the first warnings and the exchange's own line.
        ExchangeCase{"VolumeUpdateAfter800StaleAnswers",
                     [](RtspSession& session, const std::shared_ptr<SessionShared>&) {
                       ASSERT_TRUE(send_volume_update(session, 0.25F));
                     },
                     {"SET_PARAMETER"},
                     800,
                     platform::kMaxDeferredStderrLines - 1},
        ExchangeCase{"FlushAndTeardown",
                     [](RtspSession& session, const std::shared_ptr<SessionShared>&) {
                       const auto teardown = flush_and_teardown(session, Clock::now() + 10s);
                       EXPECT_EQ(teardown.evidence.teardownOutcome, RequestOutcome::succeeded);
                     },
                     {"FLUSH", "TEARDOWN"}},
        ExchangeCase{"FeedbackRound",
                     [](RtspSession& session, const std::shared_ptr<SessionShared>& shared) {
                       auto worker =
                           spawn_feedback_worker(session.connection, session.url, shared, 50ms);
                       ASSERT_TRUE(worker) << worker.error().describe();
                       EXPECT_TRUE(wait_until(
                           [&] { return worker->counters->totals().succeeded >= 1; }, 20s));
                       EXPECT_TRUE(stop_feedback_worker(*worker, Clock::now() + 10s));
                     },
                     {"POST"}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace kestrune::engine::testing
