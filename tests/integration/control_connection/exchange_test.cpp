// Request exchanges on the control connection against the loopback receiver over real TCP: CSeq
// matching, buffered responses, split reads, closures, silence, cancellation, the size cap, and
// the same on the encrypted connection after pairing.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "engine/rtsp/rtsp_connection.hpp"
#include "engine/rtsp/session_keys.hpp"
#include "engine/session/pair_setup.hpp"
#include "test-receiver/server_connection.hpp"
#include "test-receiver/test_receiver.hpp"
#include "tests/support/wait_until.hpp"

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using engine::CancelSource;
using kestrune::testing::wait_until;
using test_receiver::CSeqLine;
using test_receiver::ScriptedReply;
using test_receiver::ScriptedResponse;
using test_receiver::TestReceiver;

ScriptedResponse response_with(CSeqLine cseq, std::string body = {}) {
  ScriptedResponse response;
  response.cseq = std::move(cseq);
  response.body.assign(body.begin(), body.end());
  return response;
}

ScriptedReply reply_of(std::vector<ScriptedResponse> responses) {
  ScriptedReply reply;
  reply.responses = std::move(responses);
  return reply;
}

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override { connect(); }

  void connect() {
    auto started = TestReceiver::start();
    ASSERT_TRUE(started) << started.error().describe();
    receiver_ = std::move(*started);
    auto connected = engine::rtsp_connect_with_deadline(receiver_->address(), "02:00:00:00:00:01",
                                                        CancelSource(&stop_));
    ASSERT_TRUE(connected) << connected.error().describe();
    connection_.emplace(std::move(*connected));
  }

  // Pairs and switches to encrypted framing, as the start sequence does; CSeq 1 to 3 are used.
  void pair() {
    auto info = engine::rtsp_exchange(*connection_, "GET", "/info", {}, {}, CancelSource(&stop_));
    ASSERT_TRUE(info) << info.error().describe();
    auto key = engine::pair_setup_transient(*connection_, CancelSource(&stop_));
    ASSERT_TRUE(key) << key.error().error.describe();
    auto keys = engine::derive_session_keys(key->bytes);
    ASSERT_TRUE(keys);
    connection_->enable_control_cipher(keys->control_write_key, keys->control_read_key);
  }

  support::Result<engine::RtspResponse> options() {
    return engine::rtsp_exchange(*connection_, "OPTIONS", "*", {}, {}, CancelSource(&stop_));
  }

  std::atomic<bool> stop_{false};
  std::unique_ptr<TestReceiver> receiver_;
  std::optional<engine::RtspConnection> connection_;
};

TEST_F(ExchangeTest, CSeqOfTheResponseDecidesWhatHappensToIt) {
  struct Case {
    const char* name;
    std::vector<ScriptedResponse> responses;
    const char* error;  // nullptr: the exchange returns the matching response
    const char* stderr_line;
  };
  const Case cases[] = {
      {"stale one first is discarded",
       {response_with(CSeqLine::shifted(-1), "old"), response_with(CSeqLine::echo(), "new")},
       nullptr,
       "warning[rtsp_stale]: method=OPTIONS expected_cseq=1 stale_cseq=0 action=discard\n"},
      {"leading plus",
       {response_with(CSeqLine::literal("+1"), "new")},
       nullptr,
       "rtsp method=OPTIONS cseq=1 status=200 elapsed_ms="},
      {"spaces around", {response_with(CSeqLine::literal("   1  "), "new")}, nullptr, nullptr},
      {"from the future",
       {response_with(CSeqLine::shifted(1))},
       "RTSP future CSeq 2 while waiting for 1",
       nullptr},
      {"missing", {response_with(CSeqLine::omitted())}, "RTSP response is missing CSeq", nullptr},
      {"empty",
       {response_with(CSeqLine::literal(""))},
       "invalid RTSP response CSeq: cannot parse integer from empty string",
       nullptr},
      {"letter after the digits",
       {response_with(CSeqLine::literal("1a"))},
       "invalid RTSP response CSeq: invalid digit found in string",
       nullptr},
      {"beyond 32 bits",
       {response_with(CSeqLine::literal("4294967297"))},
       "invalid RTSP response CSeq: number too large to fit in target type",
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    connect();
    if (HasFatalFailure()) return;
    receiver_->script("OPTIONS", "*", reply_of(c.responses));
    ::testing::internal::CaptureStderr();
    auto response = options();
    const std::string err = ::testing::internal::GetCapturedStderr();
    if (c.error) {
      ASSERT_FALSE(response);
      EXPECT_EQ(response.error().describe(), c.error);
      EXPECT_TRUE(connection_->is_poisoned());
    } else {
      ASSERT_TRUE(response) << response.error().describe();
      EXPECT_EQ(std::string(response->body.begin(), response->body.end()), "new");
      EXPECT_FALSE(connection_->is_poisoned());
    }
    if (c.stderr_line) {
      EXPECT_NE(err.find(c.stderr_line), std::string::npos) << err;
    }
  }
}

TEST_F(ExchangeTest, ASecondResponseInTheSameReadWaitsForTheNextExchange) {
  struct Case {
    const char* name;
    CSeqLine second;
    const char* error;  // for the next exchange; nullptr: it succeeds
  };
  const Case cases[] = {
      {"older than the next request: discarded as stale", CSeqLine::echo(), nullptr},
      {"newer than the next request: a future CSeq", CSeqLine::shifted(2),
       "RTSP future CSeq 3 while waiting for 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    connect();
    if (HasFatalFailure()) return;
    receiver_->script(
        "OPTIONS", "*",
        reply_of({response_with(CSeqLine::echo(), "first"), response_with(c.second, "extra")}));
    receiver_->script("OPTIONS", "*", reply_of({response_with(CSeqLine::echo(), "second")}));
    auto first = options();
    ASSERT_TRUE(first) << first.error().describe();
    EXPECT_EQ(std::string(first->body.begin(), first->body.end()), "first");
    auto next = options();
    if (c.error) {
      ASSERT_FALSE(next);
      EXPECT_EQ(next.error().describe(), c.error);
    } else {
      ASSERT_TRUE(next) << next.error().describe();
      EXPECT_EQ(std::string(next->body.begin(), next->body.end()), "second");
    }
  }
}

TEST_F(ExchangeTest, TheDeadlineCountsFromTheRequestNotFromAStaleResponse) {
  // A stale response after 250 ms and the matching one 250 ms later: past a 400 ms timeout.
  ScriptedReply reply =
      reply_of({response_with(CSeqLine::shifted(-1)), response_with(CSeqLine::echo())});
  reply.delay = 250ms;
  reply.write_pieces = {test_receiver::serialize_scripted_response(reply.responses[0], 1).size()};
  reply.piece_pause = 250ms;
  receiver_->script("OPTIONS", "*", reply);
  connection_->set_request_timeout(400ms);
  ::testing::internal::CaptureStderr();
  auto response = options();
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_FALSE(response);
  EXPECT_TRUE(support::is_timeout_error(response.error())) << response.error().describe();
  EXPECT_NE(err.find("warning[rtsp_stale]: method=OPTIONS expected_cseq=1 stale_cseq=0"),
            std::string::npos);
}

TEST_F(ExchangeTest, AResponseSplitOverSeveralReadsIsReassembled) {
  ScriptedReply reply = reply_of({response_with(CSeqLine::echo(), "split body")});
  reply.responses[0].status = 404;
  reply.responses[0].reason = "Not Found";
  reply.write_pieces = {3, 10, 1, 20};
  receiver_->script("OPTIONS", "*", reply);
  auto response = options();
  ASSERT_TRUE(response) << response.error().describe();
  EXPECT_EQ(response->status, 404);  // the status is not judged here
  EXPECT_EQ(response->reason, "Not Found");
  EXPECT_EQ(std::string(response->body.begin(), response->body.end()), "split body");
}

TEST_F(ExchangeTest, RequestsCarryTheDefaultHeadersThenSessionThenTheCallersOwn) {
  connection_->set_session_id("ABCD; timeout=60");
  const std::vector<std::uint8_t> body = {'v', ':', ' ', '1'};
  auto response =
      engine::rtsp_exchange(*connection_, "SET_PARAMETER", "rtsp://x/1",
                            {{"Content-Type", "text/parameters"}}, body, CancelSource(&stop_));
  ASSERT_TRUE(response) << response.error().describe();
  auto bare = options();
  ASSERT_TRUE(bare);
  const auto requests = receiver_->requests();
  ASSERT_EQ(requests.size(), 2u);
  std::vector<std::string> names;
  for (const auto& header : requests[0].headers) names.push_back(header.name);
  EXPECT_EQ(names,
            (std::vector<std::string>{"CSeq", "Content-Length", "User-Agent", "X-Apple-Client-Name",
                                      "X-Apple-Device-ID", "DACP-ID", "Client-Instance",
                                      "Active-Remote", "Session", "Content-Type"}));
  EXPECT_EQ(requests[0].header("Session"), "ABCD; timeout=60");
  EXPECT_EQ(requests[0].body, body);
  EXPECT_EQ(requests[1].header("Content-Length"), std::nullopt);
  EXPECT_EQ(requests[1].cseq(), 2u);
}

TEST_F(ExchangeTest, AClosedConnectionPoisonsAndLaterRequestsFailAtOnce) {
  receiver_->script("OPTIONS", "*", ScriptedReply::close_connection());
  auto response = options();
  ASSERT_FALSE(response);
  EXPECT_EQ(response.error().describe(),
            "read OPTIONS CSeq 1 response: RTSP TCP connection closed mid-response");
  EXPECT_TRUE(connection_->is_poisoned());
  auto again = options();
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().describe(), "RTSP connection is poisoned and cannot be reused");
  EXPECT_EQ(connection_->next_cseq(), 2u);
  EXPECT_EQ(receiver_->requests().size(), 1u);
}

TEST_F(ExchangeTest, AReceiverThatNeverAnswersRunsIntoTheRequestTimeout) {
  receiver_->script("OPTIONS", "*", ScriptedReply::silence());
  connection_->set_request_timeout(300ms);
  const auto started = Clock::now();
  auto response = options();
  const auto elapsed = Clock::now() - started;
  ASSERT_FALSE(response);
  EXPECT_TRUE(support::is_timeout_error(response.error())) << response.error().describe();
  EXPECT_EQ(response.error().contexts().front(), "read OPTIONS CSeq 1 response");
  EXPECT_GE(elapsed, 300ms);
  EXPECT_LT(elapsed, 2s);
  EXPECT_TRUE(connection_->is_poisoned());
}

TEST_F(ExchangeTest, CancellationWhileWaitingEndsTheExchangeWithinASlice) {
  receiver_->script("OPTIONS", "*", ScriptedReply::silence());
  Clock::time_point stopped_at;
  std::thread stopper([&] {
    receiver_->wait_for_requests(1, 5s);
    std::this_thread::sleep_for(30ms);
    stopped_at = Clock::now();
    stop_.store(true);
  });
  auto response = options();
  const auto returned_at = Clock::now();
  stopper.join();
  ASSERT_FALSE(response);
  EXPECT_EQ(response.error().describe(), "read OPTIONS CSeq 1 response: RTSP response cancelled");
  EXPECT_LT(returned_at - stopped_at, 500ms);
  EXPECT_TRUE(connection_->is_poisoned());
  stop_.store(false);
  auto again = options();
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().describe(), "RTSP connection is poisoned and cannot be reused");
}

TEST_F(ExchangeTest, AResponseBeyondTheCapFailsTheReadPhase) {
  struct Case {
    const char* name;
    std::string raw;
  };
  const Case cases[] = {
      {"announced body too large", "RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Length: 1048577\r\n\r\n"},
      {"head that never ends", "RTSP/1.0 200 OK\r\nX: " + std::string(1100000, 'a')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    connect();
    if (HasFatalFailure()) return;
    ScriptedResponse raw;
    raw.raw = c.raw;
    receiver_->script("OPTIONS", "*", ScriptedReply::with(raw));
    auto response = options();
    ASSERT_FALSE(response);
    EXPECT_EQ(response.error().describe(),
              "read OPTIONS CSeq 1 response: RTSP response exceeds 1048576 bytes");
    EXPECT_TRUE(connection_->is_poisoned());
  }
}

TEST_F(ExchangeTest, AResponseJustUnderTheCapIsRead) {
  ScriptedResponse big = response_with(CSeqLine::echo(), std::string(1000000, 'b'));
  receiver_->script("OPTIONS", "*", ScriptedReply::with(big));
  auto response = options();
  ASSERT_TRUE(response) << response.error().describe();
  EXPECT_EQ(response->body.size(), 1000000u);
}

// A head that grows nearly to the cap before it ends: the read that brings its end also brings
// the whole body, and the response is judged by its full size all the same.
TEST_F(ExchangeTest, TheCapCountsHeadAndBodyWhenBothArriveInOneRead) {
  const std::string prefix = "RTSP/1.0 200 OK\r\nCSeq: 1\r\nX: ";
  const std::string tail = "\r\nContent-Length: 64\r\n\r\n" + std::string(64, 'b');
  struct Case {
    const char* name;
    std::size_t total;
    bool read;
  };
  const Case cases[] = {
      {"exactly the cap", engine::kRtspMaxResponseBytes, true},
      {"one byte beyond", engine::kRtspMaxResponseBytes + 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    connect();
    if (HasFatalFailure()) return;
    ScriptedResponse raw;
    const std::string filler(c.total - prefix.size() - tail.size(), 'a');
    raw.raw = prefix + filler + tail;
    ScriptedReply reply = ScriptedReply::with(raw);
    reply.write_pieces = {prefix.size() + filler.size()};  // the head's end comes with the body
    receiver_->script("OPTIONS", "*", reply);
    auto response = options();
    if (c.read) {
      ASSERT_TRUE(response) << response.error().describe();
      EXPECT_EQ(response->body.size(), 64u);
    } else {
      ASSERT_FALSE(response);
      EXPECT_EQ(response.error().describe(),
                "read OPTIONS CSeq 1 response: RTSP response exceeds 1048576 bytes");
      EXPECT_TRUE(connection_->is_poisoned());
    }
  }
}

TEST_F(ExchangeTest, TheCapHoldsForEncryptedResponsesToo) {
  pair();
  if (HasFatalFailure()) return;
  ScriptedResponse raw;
  raw.raw = "RTSP/1.0 200 OK\r\nCSeq: 4\r\nContent-Length: 1048577\r\n\r\n";
  receiver_->script("OPTIONS", "*", ScriptedReply::with(raw));
  auto response = options();
  ASSERT_FALSE(response);
  EXPECT_EQ(response.error().describe(),
            "read OPTIONS CSeq 4 response: RTSP response exceeds 1048576 bytes");
  EXPECT_TRUE(connection_->is_poisoned());
}

TEST_F(ExchangeTest, ARefusedConnectNamesTheAddress) {
  const auto address = receiver_->address();
  receiver_->stop();
  connection_.reset();
  auto connection =
      engine::rtsp_connect_with_deadline(address, "02:00:00:00:00:01", CancelSource(&stop_));
  ASSERT_FALSE(connection);
  EXPECT_EQ(connection.error().contexts().front(), "connect RTSP TCP " + address.to_string());
  EXPECT_EQ(connection.error().os_code(), ECONNREFUSED);
}

// The serialized size of `response` for CSeq 4.
std::size_t size_of(const ScriptedResponse& response) {
  return test_receiver::serialize_scripted_response(response, 4).size();
}

TEST_F(ExchangeTest, EncryptedResponsesAreReassembledFromTheirFrames) {
  pair();
  if (HasFatalFailure()) return;
  // A response of exactly 1024 bytes: the largest single frame.
  ScriptedResponse exact = response_with(CSeqLine::echo());
  for (std::size_t body = 900; body < 1024 && size_of(exact) != 1024; ++body) {
    exact.body.assign(body, 'x');
  }
  ASSERT_EQ(size_of(exact), 1024u);
  struct Case {
    const char* name;
    ScriptedResponse response;
    std::vector<std::size_t> frame_sizes;
    std::size_t frame_block;
    std::uint64_t frames;
  };
  const ScriptedResponse small = response_with(CSeqLine::echo(), "framed");
  const Case cases[] = {
      {"one frame of 1024 bytes", exact, {}, 1024, 1},
      {"frames of 7 bytes", small, {}, 7, (size_of(small) + 6) / 7},
      // Every byte its own frame: the head's end is found across four reads.
      {"frames of 1 byte", small, {}, 1, size_of(small)},
      {"an empty frame first", small, {0}, 1024, 2},
  };
  std::uint64_t read_counter = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedReply reply = ScriptedReply::with(c.response);
    reply.frame_sizes = c.frame_sizes;
    reply.frame_block = c.frame_block;
    receiver_->script("OPTIONS", "*", reply);
    auto response = options();
    ASSERT_TRUE(response) << response.error().describe();
    EXPECT_EQ(response->body, c.response.body);
    read_counter += c.frames;
    EXPECT_EQ(connection_->control_cipher()->read_counter, read_counter);
  }
}

TEST_F(ExchangeTest, EncryptedFramesThatCannotBeOpenedPoisonTheConnection) {
  struct Case {
    const char* name;
    std::optional<std::uint16_t> length_override;
    bool tamper;
    const char* message;
  };
  const Case cases[] = {
      {"length 1025", 1025, false, "encrypted control block exceeds 1024 bytes: 1025"},
      {"length 65535", 65535, false, "encrypted control block exceeds 1024 bytes: 65535"},
      {"tag altered", std::nullopt, true, "control authentication failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    connect();
    if (HasFatalFailure()) return;
    pair();
    if (HasFatalFailure()) return;
    ScriptedReply reply = ScriptedReply::with(response_with(CSeqLine::echo()));
    reply.frame_length_override = c.length_override;
    reply.tamper = c.tamper;
    receiver_->script("OPTIONS", "*", reply);
    auto response = options();
    ASSERT_FALSE(response);
    EXPECT_EQ(response.error().describe(),
              std::string("read OPTIONS CSeq 4 response: ") + c.message);
    EXPECT_TRUE(connection_->is_poisoned());
  }
}

TEST_F(ExchangeTest, ALongEncryptedRequestTravelsInSeveralFrames) {
  pair();
  if (HasFatalFailure()) return;
  const std::vector<std::uint8_t> body(1500, 'p');
  auto response =
      engine::rtsp_exchange(*connection_, "SET_PARAMETER", "rtsp://x/1",
                            {{"Content-Type", "text/parameters"}}, body, CancelSource(&stop_));
  ASSERT_TRUE(response) << response.error().describe();
  EXPECT_EQ(connection_->control_cipher()->write_counter, 2u);
  const auto requests = receiver_->requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_TRUE(requests.back().encrypted);
  EXPECT_EQ(requests.back().body, body);
}

// The work given to an overlapped exchange runs once, after the receiver has the request and
// before its answer is read (the receiver holds the answer back until the work has run); a
// request that is never written runs nothing.
TEST_F(ExchangeTest, OverlappedWorkRunsBetweenTheWriteAndTheRead) {
  std::atomic<bool> work_done{false};
  std::atomic<bool> answered_after_work{false};
  receiver_->on("OPTIONS", "*",
                [&](const test_receiver::ReceivedRequest&, test_receiver::ConnectionContext&) {
                  (void)wait_until([&] { return work_done.load(); }, 10s);
                  answered_after_work = work_done.load();
                  return reply_of({response_with(CSeqLine::echo())});
                });
  int runs = 0;
  bool request_was_there = false;
  auto response =
      connection_->exchange_overlapped("OPTIONS", "*", {}, {}, CancelSource(&stop_), [&] {
        ++runs;
        request_was_there = receiver_->wait_for_requests(1, 10s);
        work_done = true;
      });
  ASSERT_TRUE(response) << response.error().describe();
  EXPECT_EQ(response->status, 200);
  EXPECT_EQ(runs, 1);
  EXPECT_TRUE(request_was_there);
  EXPECT_TRUE(answered_after_work);

  (void)connection_->poison(support::Error("broken on purpose"));
  auto refused = connection_->exchange_overlapped("OPTIONS", "*", {}, {}, CancelSource(&stop_),
                                                  [&] { ++runs; });
  EXPECT_FALSE(refused);
  EXPECT_EQ(runs, 1);
}

}  // namespace
}  // namespace kestrune
