// The requests of a started session and its endings against the loopback receiver: initial FLUSH
// and volume, volume updates, FLUSH and TEARDOWN within the shutdown deadline, the quick close,
// and what dropping a record does.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "engine/session/control_requests.hpp"
#include "engine/session/session_teardown.hpp"
#include "platform/thread_name.hpp"
#include "session_fixture.hpp"
#include "support/wipe.hpp"
#include "tests/support/secret_scan.hpp"

namespace kestrune::engine::testing {
namespace {

using test_receiver::ScriptedReply;
using R = RequestOutcome;

class StartedSessionTest : public SessionFixture {
 protected:
  void SetUp() override {
    SessionFixture::SetUp();
    ASSERT_NO_FATAL_FAILURE(start_session());
  }

  bool connection_poisoned() { return record->connection->lock()->is_poisoned(); }
  // Makes the next exchange fail on the transport, which poisons the connection.
  void poison_by_failed_exchange() {
    receiver->script("GET_PARAMETER", "", ScriptedReply::close_connection());
    auto connection = record->connection->lock();
    ASSERT_FALSE(
        rtsp_exchange(*connection, "GET_PARAMETER", record->url, {}, {}, CancelSource::none()));
    ASSERT_TRUE(connection->is_poisoned());
  }
};

TEST_F(StartedSessionTest, TheInitialFlushAndVolumeGoToTheSessionUrl) {
  ASSERT_TRUE(send_initial_flush(*record, shared->stop_requested));
  ASSERT_TRUE(send_initial_volume(*record, 0.5F, shared->stop_requested));
  ASSERT_TRUE(send_volume_update(*record, 1.0F));
  const auto flush = receiver->requests_with("FLUSH");
  const auto volumes = receiver->requests_with("SET_PARAMETER");
  ASSERT_EQ(flush.size(), 1u);
  ASSERT_EQ(volumes.size(), 2u);
  EXPECT_EQ(flush[0].uri, record->url);
  EXPECT_EQ(flush[0].cseq(), 8u);
  EXPECT_EQ(flush[0].header("RTP-Info"), "seq=0;rtptime=0");
  EXPECT_EQ(flush[0].header("Session"), "7A1C2E30;timeout=60");
  EXPECT_TRUE(flush[0].body.empty());
  EXPECT_EQ(volumes[0].header("Content-Type"), "text/parameters");
  EXPECT_EQ(std::string(volumes[0].body.begin(), volumes[0].body.end()), "volume: -6.02\r\n");
  EXPECT_EQ(std::string(volumes[1].body.begin(), volumes[1].body.end()), "volume: 0.00\r\n");
  EXPECT_EQ(volumes[1].cseq(), 10u);
}

// The control requests' status rule: exactly 200, with the request's label in the error.
struct RequestCase {
  const char* name;
  const char* method;
  std::function<support::Status(RtspSession&, SessionShared&)> send;
  const char* error;
};

class ControlRequestStatusTest : public StartedSessionTest,
                                 public ::testing::WithParamInterface<RequestCase> {};

TEST_P(ControlRequestStatusTest, OnlyStatus200Succeeds) {
  receiver->script(GetParam().method, "", ScriptedReply::status(204, "No Content"));
  auto sent = GetParam().send(*record, *shared);
  ASSERT_FALSE(sent);
  EXPECT_EQ(sent.error().describe(), GetParam().error);
  EXPECT_FALSE(connection_poisoned());  // a wrong status leaves the connection usable
  EXPECT_TRUE(GetParam().send(*record, *shared));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ControlRequestStatusTest,
    ::testing::Values(RequestCase{"InitialFlush", "FLUSH",
                                  [](RtspSession& s, SessionShared& sh) {
                                    return send_initial_flush(s, sh.stop_requested);
                                  },
                                  "FLUSH returned RTSP 204 No Content"},
                      RequestCase{"InitialVolume", "SET_PARAMETER",
                                  [](RtspSession& s, SessionShared& sh) {
                                    return send_initial_volume(s, 0.2F, sh.stop_requested);
                                  },
                                  "SET_PARAMETER volume returned RTSP 204 No Content"},
                      RequestCase{"VolumeUpdate", "SET_PARAMETER",
                                  [](RtspSession& s, SessionShared&) {
                                    return send_volume_update(s, 0.2F);
                                  },
                                  "SET_PARAMETER volume returned RTSP 204 No Content"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(StartedSessionTest, TheInitialFlushGivesUpSoonAfterAStop) {
  receiver->script("FLUSH", "", ScriptedReply::silence());
  std::thread stopper([&] {
    if (receiver->wait_for_requests(8, 5s)) {
      std::this_thread::sleep_for(50ms);
      request_session_stop(*shared, false);
    }
  });
  const auto started_at = Clock::now();
  auto flushed = send_initial_flush(*record, shared->stop_requested);
  stopper.join();
  ASSERT_FALSE(flushed);
  EXPECT_LT(elapsed_since(started_at), 2s);
  EXPECT_NE(flushed.error().describe().find("RTSP response cancelled"), std::string::npos);
  EXPECT_TRUE(connection_poisoned());
}

TEST_F(StartedSessionTest, AVolumeUpdateIsNotCancelledByTheStopRequest) {
  request_session_stop(*shared, false);
  EXPECT_FALSE(send_initial_volume(*record, 0.5F, shared->stop_requested));
  // The cancelled request poisoned the connection; a fresh session shows the update goes through.
  record.reset();
  shared = make_session_shared(make_session_id().value(), 0.5F);
  ASSERT_NO_FATAL_FAILURE(start_session());
  request_session_stop(*shared, false);
  EXPECT_TRUE(send_volume_update(*record, 0.25F));
}

TEST_F(StartedSessionTest, ARequestOnAPoisonedLockEndsTheCallingThread) {
  ASSERT_NO_FATAL_FAILURE(poison_connection());
  auto caller =
      platform::spawn_named("volume", [this] { (void)send_volume_update(*record, 1.0F); });
  ASSERT_TRUE(caller);
  auto joined = caller->join();
  ASSERT_FALSE(joined);
  EXPECT_NE(joined.error().describe().find("RTSP lock poisoned"), std::string::npos);
  EXPECT_EQ(count_of("SET_PARAMETER"), 0u);
}

// FLUSH and TEARDOWN at the end of a session: what each got, and whether the sockets closed
// cleanly.
struct TeardownCase {
  const char* name;
  std::function<void(test_receiver::TestReceiver&)> script;
  RequestOutcome flush;
  RequestOutcome teardown;
  CleanupOutcome socket_cleanup;
  std::vector<std::string> sent;  // the teardown's requests, in order
};

class TeardownTest : public StartedSessionTest,
                     public ::testing::WithParamInterface<TeardownCase> {};

TEST_P(TeardownTest, JudgesEachRequestOnItsOwn) {
  const TeardownCase& c = GetParam();
  if (c.script) c.script(*receiver);
  const std::size_t before = receiver->requests().size();
  auto teardown = flush_and_teardown(*record, Clock::now() + 10s);
  EXPECT_EQ(record->state, TransportState::closed);
  EXPECT_TRUE(connection_poisoned());
  EXPECT_FALSE(record->events_connection.has_value());
  EXPECT_EQ(teardown.evidence.flushOutcome, c.flush);
  EXPECT_EQ(teardown.evidence.teardownOutcome, c.teardown);
  EXPECT_EQ(teardown.evidence.workerCleanup, CleanupOutcome::completed);
  EXPECT_EQ(teardown.evidence.socketCleanup, CleanupOutcome::notApplicable);
  EXPECT_EQ(teardown.forced_stages, 0u);
  const auto closed = close_session_record(std::move(*record), teardown);
  EXPECT_EQ(closed.evidence.socketCleanup, c.socket_cleanup);
  record.reset();
  const auto requests = receiver->requests();
  std::vector<std::string> sent;
  for (std::size_t i = before; i < requests.size(); ++i) sent.push_back(requests[i].method);
  EXPECT_EQ(sent, c.sent);
  EXPECT_TRUE(receiver->endpoints().wait_for_closed_event_connections(1, 2s));
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, TeardownTest,
    ::testing::Values(
        TeardownCase{"BothSucceed",
                     nullptr,
                     R::succeeded,
                     R::succeeded,
                     CleanupOutcome::completed,
                     {"FLUSH", "TEARDOWN"}},
        TeardownCase{"Any2xxSucceeds",
                     [](auto& r) {
                       r.script("FLUSH", "", ScriptedReply::status(204, "No Content"));
                       r.script("TEARDOWN", "", ScriptedReply::status(202, "Accepted"));
                     },
                     R::succeeded,
                     R::succeeded,
                     CleanupOutcome::completed,
                     {"FLUSH", "TEARDOWN"}},
        TeardownCase{
            "FlushRejectedStillTearsDown",
            [](auto& r) { r.script("FLUSH", "", ScriptedReply::status(400, "Bad Request")); },
            R::rejected,
            R::succeeded,
            CleanupOutcome::completed,
            {"FLUSH", "TEARDOWN"}},
        TeardownCase{"TeardownRejected",
                     [](auto& r) {
                       r.script("TEARDOWN", "",
                                ScriptedReply::status(500, "Internal Server Error"));
                     },
                     R::succeeded,
                     R::rejected,
                     CleanupOutcome::completed,
                     {"FLUSH", "TEARDOWN"}},
        TeardownCase{"FlushTransportPoisonsTheTeardown",
                     [](auto& r) { r.script("FLUSH", "", ScriptedReply::close_connection()); },
                     R::transportFailed,
                     R::skippedControlPoisoned,
                     CleanupOutcome::forced,
                     {"FLUSH"}},
        TeardownCase{"TeardownTransport",
                     [](auto& r) { r.script("TEARDOWN", "", ScriptedReply::close_connection()); },
                     R::succeeded,
                     R::transportFailed,
                     CleanupOutcome::forced,
                     {"FLUSH", "TEARDOWN"}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(StartedSessionTest, ASilentFlushGetsTwoSecondsAndSkipsTheTeardown) {
  receiver->script("FLUSH", "", ScriptedReply::silence());
  const auto started_at = Clock::now();
  auto teardown = flush_and_teardown(*record, Clock::now() + 10s);
  const auto took = elapsed_since(started_at);
  EXPECT_EQ(teardown.evidence.flushOutcome, R::deadlineExceeded);
  EXPECT_EQ(teardown.evidence.teardownOutcome, R::skippedControlPoisoned);
  EXPECT_GE(took, 1900ms);
  EXPECT_LT(took, 5s);
  EXPECT_EQ(count_of("TEARDOWN"), 0u);
}

TEST_F(StartedSessionTest, TheTeardownGetsOnlyWhatTheFlushLeftOfTheDeadline) {
  receiver->script("FLUSH", "", [] {
    auto reply = ScriptedReply::status(200, "OK");
    reply.delay = 1200ms;
    return reply;
  }());
  receiver->script("TEARDOWN", "", ScriptedReply::silence());
  const auto started_at = Clock::now();
  const auto deadline = started_at + 1500ms;
  auto teardown = flush_and_teardown(*record, deadline);
  const auto ended_at = Clock::now();
  EXPECT_EQ(teardown.evidence.flushOutcome, R::succeeded);
  EXPECT_EQ(teardown.evidence.teardownOutcome, R::deadlineExceeded);
  EXPECT_GE(ended_at, deadline);
  EXPECT_LT(ended_at - deadline, 1s);  // not the 2 s a TEARDOWN gets with time to spare
  EXPECT_EQ(count_of("TEARDOWN"), 1u);
}

TEST_F(StartedSessionTest, APassedDeadlineSendsNothingAndStillPoisons) {
  auto teardown = flush_and_teardown(*record, Clock::now() - 1ms);
  EXPECT_EQ(teardown.evidence.flushOutcome, R::deadlineExceeded);
  EXPECT_EQ(teardown.evidence.teardownOutcome, R::deadlineExceeded);
  EXPECT_TRUE(connection_poisoned());
  EXPECT_EQ(count_of("FLUSH") + count_of("TEARDOWN"), 0u);
  EXPECT_TRUE(receiver->wait_for_closed_connections(1, 2s));
}

TEST_F(StartedSessionTest, AnAlreadyPoisonedConnectionSkipsBothRequests) {
  ASSERT_NO_FATAL_FAILURE(poison_by_failed_exchange());
  auto teardown = flush_and_teardown(*record, Clock::now() + 10s);
  EXPECT_EQ(teardown.evidence.flushOutcome, R::skippedControlPoisoned);
  EXPECT_EQ(teardown.evidence.teardownOutcome, R::skippedControlPoisoned);
  EXPECT_EQ(close_session_record(std::move(*record), teardown).evidence.socketCleanup,
            CleanupOutcome::forced);
  EXPECT_EQ(count_of("FLUSH") + count_of("TEARDOWN"), 0u);
}

// The quick close: nothing is sent; what it finds decides both outcomes; always one forced stage.
TEST_F(StartedSessionTest, TheQuickCloseSendsNothing) {
  auto teardown = abort_session_transport(*record);
  EXPECT_EQ(teardown.evidence.flushOutcome, R::deadlineExceeded);
  EXPECT_EQ(teardown.evidence.teardownOutcome, R::deadlineExceeded);
  EXPECT_NE(teardown.evidence.workerCleanup, CleanupOutcome::notApplicable);
  EXPECT_EQ(teardown.forced_stages, 1u);
  EXPECT_EQ(record->state, TransportState::closed);
  EXPECT_TRUE(connection_poisoned());
  EXPECT_FALSE(record->timing_responder.worker.has_thread());
  EXPECT_TRUE(receiver->endpoints().wait_for_closed_event_connections(1, 2s));
  EXPECT_EQ(close_session_record(std::move(*record), teardown).evidence.socketCleanup,
            CleanupOutcome::forced);
  EXPECT_EQ(count_of("FLUSH") + count_of("TEARDOWN"), 0u);
  EXPECT_TRUE(receiver->wait_for_closed_connections(1, 2s));
}

TEST_F(StartedSessionTest, TheQuickCloseOfAPoisonedConnectionSaysSo) {
  ASSERT_NO_FATAL_FAILURE(poison_by_failed_exchange());
  auto teardown = abort_session_transport(*record);
  EXPECT_EQ(teardown.evidence.flushOutcome, R::skippedControlPoisoned);
  EXPECT_EQ(teardown.evidence.teardownOutcome, R::skippedControlPoisoned);
}

TEST_F(StartedSessionTest, APoisonedLockCountsAsATransportFailure) {
  ASSERT_NO_FATAL_FAILURE(poison_connection());
  auto teardown = flush_and_teardown(*record, Clock::now() + 10s);
  EXPECT_EQ(teardown.evidence.flushOutcome, R::transportFailed);
  EXPECT_EQ(teardown.evidence.teardownOutcome, R::transportFailed);
  EXPECT_EQ(count_of("FLUSH") + count_of("TEARDOWN"), 0u);
  EXPECT_EQ(abort_session_transport(*record).evidence.flushOutcome, R::transportFailed);
}

TEST_F(StartedSessionTest, DroppingAnActiveRecordClosesEverythingWithoutARequest) {
  const std::size_t before = receiver->requests().size();
  auto connection = record->connection;  // kept, to look at it after the drop
  record.reset();
  EXPECT_TRUE(connection->lock()->is_poisoned());
  EXPECT_EQ(connection.use_count(), 1);
  EXPECT_TRUE(receiver->endpoints().wait_for_closed_event_connections(1, 2s));
  EXPECT_TRUE(receiver->wait_for_closed_connections(1, 2s));
  EXPECT_EQ(receiver->requests().size(), before);
}

TEST_F(StartedSessionTest, DroppingARecordAfterItsTeardownSendsNothingMore) {
  (void)flush_and_teardown(*record, Clock::now() + 10s);
  record.reset();
  EXPECT_TRUE(receiver->wait_for_closed_connections(1, 2s));
  EXPECT_EQ(count_of("FLUSH"), 1u);
  EXPECT_EQ(count_of("TEARDOWN"), 1u);
}

// A record is moved on its way from the start sequence to the runner, and a move copies the key
// (an array): the record moved from wipes its copy when it is dropped, as the last one does.
TEST_F(StartedSessionTest, NoRecordAKeyWasMovedThroughKeepsACopy) {
  kestrune::testing::SecretScanner scanner;
  support::wipe(record->audio_key);
  std::copy(scanner.secret().begin(), scanner.secret().end(), record->audio_key.begin());
  auto moved = std::make_unique<RtspSession>(std::move(*record));
  record.reset();  // the record moved from
  EXPECT_EQ(scanner.copies(), 1u);  // the record moved to
  moved.reset();
  EXPECT_EQ(scanner.copies(), 0u);
}

}  // namespace
}  // namespace kestrune::engine::testing
