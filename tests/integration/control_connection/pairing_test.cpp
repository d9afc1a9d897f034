// Transient pairing against the loopback receiver over real TCP: GET /info, M1 to M4, the switch to
// encrypted framing and an encrypted OPTIONS, and the ways pairing fails or is cancelled.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "engine/plist/plist_codec.hpp"
#include "engine/rtsp/rtsp_connection.hpp"
#include "engine/rtsp/session_keys.hpp"
#include "engine/session/pair_setup.hpp"
#include "engine/session/tlv8.hpp"
#include "test-receiver/test_receiver.hpp"

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using engine::CancelSource;
using engine::PairSetupFailureKind;
using test_receiver::ConnectionContext;
using test_receiver::ReceivedRequest;
using test_receiver::ScriptedReply;
using test_receiver::ScriptedResponse;
using test_receiver::TestReceiver;

constexpr const char* kDeviceId = "5A:0F:33:C1:09:7E";

class PairingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto started = TestReceiver::start();
    ASSERT_TRUE(started) << started.error().describe();
    receiver_ = std::move(*started);
    auto connected =
        engine::rtsp_connect_with_deadline(receiver_->address(), kDeviceId, CancelSource(&stop_));
    ASSERT_TRUE(connected) << connected.error().describe();
    connection_.emplace(std::move(*connected));
  }

  // GET /info, as the start sequence sends it first.
  void get_info() {
    auto info = engine::rtsp_exchange(*connection_, "GET", "/info",
                                      {{"Content-Type", "application/x-apple-binary-plist"}}, {},
                                      CancelSource(&stop_));
    ASSERT_TRUE(info) << info.error().describe();
    ASSERT_EQ(info->status, 200);
  }

  std::atomic<bool> stop_{false};
  std::unique_ptr<TestReceiver> receiver_;
  std::optional<engine::RtspConnection> connection_;
};

TEST_F(PairingTest, FullPairingSwitchesToEncryptedFramingWithCSeqOneToFour) {
  auto info = engine::rtsp_exchange(*connection_, "GET", "/info",
                                    {{"Content-Type", "application/x-apple-binary-plist"}}, {},
                                    CancelSource(&stop_));
  ASSERT_TRUE(info) << info.error().describe();
  EXPECT_EQ(info->status, 200);
  auto info_plist = engine::decode_binary_plist(info->body);
  ASSERT_TRUE(info_plist) << info_plist.error().describe();
  EXPECT_EQ(plist_get_node_type(info_plist->get()), PLIST_DICT);

  auto key = engine::pair_setup_transient(*connection_, CancelSource(&stop_));
  ASSERT_TRUE(key) << key.error().error.describe();
  auto keys = engine::derive_session_keys(key->bytes);
  ASSERT_TRUE(keys);
  const auto receiver_keys = receiver_->session_keys();
  ASSERT_TRUE(receiver_keys.has_value());
  EXPECT_EQ(receiver_keys->control_write_key, keys->control_write_key);
  EXPECT_EQ(receiver_keys->control_read_key, keys->control_read_key);
  EXPECT_EQ(receiver_keys->events_key, keys->events_key);

  connection_->enable_control_cipher(keys->control_write_key, keys->control_read_key);
  auto options = engine::rtsp_exchange(*connection_, "OPTIONS", "*", {}, {}, CancelSource(&stop_));
  ASSERT_TRUE(options) << options.error().describe();
  EXPECT_EQ(options->status, 200);
  EXPECT_TRUE(engine::find_header(*options, "Public").has_value());
  ASSERT_NE(connection_->control_cipher(), nullptr);
  EXPECT_EQ(connection_->control_cipher()->write_counter, 1u);
  EXPECT_EQ(connection_->control_cipher()->read_counter, 1u);

  const std::vector<ReceivedRequest> requests = receiver_->requests();
  ASSERT_EQ(requests.size(), 4u);
  const struct {
    const char* method;
    const char* uri;
    bool encrypted;
  } expected[] = {{"GET", "/info", false},
                  {"POST", "/pair-setup", false},
                  {"POST", "/pair-setup", false},
                  {"OPTIONS", "*", true}};
  for (std::size_t i = 0; i < requests.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(requests[i].method, expected[i].method);
    EXPECT_EQ(requests[i].uri, expected[i].uri);
    EXPECT_EQ(requests[i].encrypted, expected[i].encrypted);
    EXPECT_EQ(requests[i].cseq(), i + 1);
    EXPECT_EQ(requests[i].header("X-Apple-Device-ID"), kDeviceId);
    EXPECT_EQ(requests[i].header("DACP-ID"), "5A0F33C1097E");
  }
  EXPECT_EQ(requests[1].body, engine::pair_setup_m1_body());
  EXPECT_EQ(requests[1].header("X-Apple-HKP"), "4");
  EXPECT_EQ(requests[1].header("Content-Type"), "application/octet-stream");
  EXPECT_EQ(requests[1].header("Content-Length"), "12");
  EXPECT_EQ(requests[2].body.size(), 457u);
}

// Rewrites the receiver's pair-setup answers: `edit` gets the state of the request and the
// encoded answer the receiver would send.
ScriptedReply edited_pair_setup(const ReceivedRequest& request, ConnectionContext& context,
                                std::uint8_t state,
                                const std::function<void(std::vector<std::uint8_t>&)>& edit) {
  auto step = context.pairing.handle(request.body);
  const auto items = engine::tlv8_decode(request.body);
  const auto request_state =
      items ? engine::require_tlv_item(*items, engine::tlv_type::kState, "State")
            : support::Result<std::span<const std::uint8_t>>(support::fail("not TLV8"));
  const bool edit_this =
      request_state && request_state->size() == 1 && (*request_state)[0] == state;
  if (edit_this) edit(step.body);
  ScriptedResponse response;
  response.body = step.body;
  ScriptedReply reply = ScriptedReply::with(std::move(response));
  if (step.paired && !edit_this) reply.encrypt_after = context.pairing.session_keys();
  return reply;
}

TEST_F(PairingTest, FailuresAreReportedAsPairingFailuresWithTheirMessage) {
  struct Case {
    const char* name;
    std::function<void(TestReceiver&)> script;
    const char* message;
  };
  const auto tlv = [](std::map<std::uint8_t, std::vector<std::uint8_t>> items) {
    ScriptedResponse response;
    response.body = engine::tlv8_encode(items);
    return ScriptedReply::with(std::move(response));
  };
  const Case cases[] = {
      {"M1 refused",
       [](TestReceiver& r) {
         r.script("POST", "/pair-setup", ScriptedReply::status(401, "Unauthorized"));
       },
       "pair-setup M1 returned RTSP 401 Unauthorized"},
      {"M3 refused",
       [](TestReceiver& r) {
         r.on("POST", "/pair-setup",
              [calls = 0](const ReceivedRequest& request, ConnectionContext& context) mutable {
                if (++calls == 2) return ScriptedReply::status(401, "Unauthorized");
                return edited_pair_setup(request, context, 0, [](auto&) {});
              });
       },
       "pair-setup M3 returned RTSP 401 Unauthorized"},
      {"error item in M2",
       [&](TestReceiver& r) {
         r.script("POST", "/pair-setup",
                  tlv({{2, std::vector<std::uint8_t>(16, 1)},
                       {3, std::vector<std::uint8_t>(384, 2)},
                       {6, {2}},
                       {7, {6}}}));
       },
       "HomePod pairing error code 6"},
      {"M2 not TLV8",
       [&](TestReceiver& r) {
         ScriptedResponse response;
         response.body = {0x06, 0x05, 0x01, 0x02};
         r.script("POST", "/pair-setup", ScriptedReply::with(std::move(response)));
       },
       "truncated TLV8 value at byte 2: expected 5 bytes"},
      {"M4 proof altered",
       [](TestReceiver& r) {
         r.on("POST", "/pair-setup",
              [](const ReceivedRequest& request, ConnectionContext& context) {
                return edited_pair_setup(request, context, 3, [](std::vector<std::uint8_t>& body) {
                  body[2] ^= 0x80;  // first proof byte after the 04 40 header
                });
              });
       },
       "SRP server proof mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    if (HasFatalFailure()) return;
    c.script(*receiver_);
    get_info();
    auto key = engine::pair_setup_transient(*connection_, CancelSource(&stop_));
    ASSERT_FALSE(key);
    EXPECT_EQ(key.error().kind, PairSetupFailureKind::pairing);
    EXPECT_EQ(key.error().error.describe(), c.message);
  }
}

TEST_F(PairingTest, StopWhileWaitingForM4EndsTheExchangeQuicklyAsCancelled) {
  receiver_->on("POST", "/pair-setup",
                [calls = 0](const ReceivedRequest& request, ConnectionContext& context) mutable {
                  if (++calls == 2) return ScriptedReply::silence();
                  return edited_pair_setup(request, context, 0, [](auto&) {});
                });
  get_info();
  std::chrono::steady_clock::time_point stop_at;
  std::thread stopper([&] {
    if (receiver_->wait_for_requests(3, 5s)) std::this_thread::sleep_for(50ms);
    stop_at = std::chrono::steady_clock::now();
    stop_.store(true);
  });
  auto key = engine::pair_setup_transient(*connection_, CancelSource(&stop_));
  const auto returned_at = std::chrono::steady_clock::now();
  stopper.join();
  ASSERT_FALSE(key);
  EXPECT_EQ(key.error().kind, PairSetupFailureKind::cancelled);
  EXPECT_EQ(key.error().error.root_message(), "RTSP response cancelled");
  EXPECT_LT(returned_at - stop_at, 1s);
  EXPECT_TRUE(connection_->is_poisoned());
}

TEST_F(PairingTest, StopWhileM2IsOnItsWaySendsNoM3) {
  receiver_->on("POST", "/pair-setup",
                [&](const ReceivedRequest& request, ConnectionContext& context) {
                  stop_.store(true);  // the stop arrives while M2 is on its way
                  return edited_pair_setup(request, context, 0, [](auto&) {});
                });
  get_info();
  auto key = engine::pair_setup_transient(*connection_, CancelSource(&stop_));
  ASSERT_FALSE(key);
  EXPECT_EQ(key.error().kind, PairSetupFailureKind::cancelled);
  EXPECT_EQ(receiver_->requests().size(), 2u);
}

}  // namespace
}  // namespace kestrune
