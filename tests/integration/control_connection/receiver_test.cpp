// The loopback receiver's own behaviour: its request parser, its SRP side against the vectors,
// its pair-setup answers to bad input, and its routes.

#include <gtest/gtest.h>

#include <chrono>

#include "engine/rtsp/rtsp_connection.hpp"
#include "engine/session/pair_setup.hpp"
#include "engine/session/tlv8.hpp"
#include "test-receiver/pair_setup_responder.hpp"
#include "test-receiver/received_request.hpp"
#include "test-receiver/srp_server.hpp"
#include "test-receiver/test_receiver.hpp"
#include "tests/vectors/vector_file.hpp"

namespace kestrune::test_receiver {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using kestrune::testing::VectorFile;

Bytes bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

TEST(ReceivedRequestParsing, ReadsTheRequestLineHeadersAndBody) {
  auto request = parse_rtsp_request(bytes_of(
      "POST /pair-setup RTSP/1.0\r\nCSeq: 2\r\ncontent-length: 3\r\nX-Apple-HKP:  4 \r\n\r\nabc"));
  ASSERT_TRUE(request) << request.error().describe();
  EXPECT_EQ(request->method, "POST");
  EXPECT_EQ(request->uri, "/pair-setup");
  EXPECT_EQ(request->cseq(), 2u);
  EXPECT_EQ(request->header("Content-Length"), "3");
  EXPECT_EQ(request->header("x-apple-hkp"), "4");
  EXPECT_EQ(request->body, bytes_of("abc"));

  for (const char* bad : {"OPTIONS *\r\n\r\n", "OPTIONS * HTTP/1.1\r\n\r\n",
                          "OPTIONS * RTSP/1.0\r\nno colon\r\n\r\n", "no terminator"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(parse_rtsp_request(bytes_of(bad)));
  }
}

class SrpServerVectorTest : public ::testing::Test {
 protected:
  support::Result<SrpServer> make_server() const {
    return SrpServer::create(vectors_.bytes("identity"), vectors_.bytes("password"),
                             vectors_.bytes("salt"), vectors_.bytes("private_b"));
  }
  const VectorFile vectors_ = VectorFile::load("srp_exchange.txt");
};

TEST_F(SrpServerVectorTest, ComputesBKAndTheServerProofOfTheVectors) {
  auto server = make_server();
  ASSERT_TRUE(server) << server.error().describe();
  EXPECT_EQ(server->padded_public_value(), vectors_.bytes("public_b"));
  auto result = server->verify_client(vectors_.bytes("public_a"), vectors_.bytes("client_proof"));
  ASSERT_TRUE(result) << result.error().describe();
  EXPECT_EQ(Bytes(result->session_key.begin(), result->session_key.end()),
            vectors_.bytes("session_key"));
  EXPECT_EQ(Bytes(result->server_proof.begin(), result->server_proof.end()),
            vectors_.bytes("server_proof"));
}

TEST_F(SrpServerVectorTest, RefusesAWrongClientProof) {
  auto server = make_server();
  ASSERT_TRUE(server);
  Bytes proof = vectors_.bytes("client_proof");
  proof[63] ^= 0x01;
  auto result = server->verify_client(vectors_.bytes("public_a"), proof);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().describe(), "SRP client proof mismatch");
}

TEST_F(SrpServerVectorTest, AReceiverWithAFixedServerSendsTheVectorsB) {
  ReceiverOptions options;
  options.make_srp_server = [this] { return make_server(); };
  auto receiver = TestReceiver::start(std::move(options));
  ASSERT_TRUE(receiver);
  auto connection = engine::rtsp_connect_with_deadline((*receiver)->address(), "02:00:00:00:00:01",
                                                       engine::CancelSource::none());
  ASSERT_TRUE(connection);
  auto m2 = engine::rtsp_exchange(*connection, "POST", "/pair-setup", {},
                                  engine::pair_setup_m1_body(), engine::CancelSource::none());
  ASSERT_TRUE(m2) << m2.error().describe();
  auto items = engine::tlv8_decode(m2->body);
  ASSERT_TRUE(items);
  auto checked = engine::check_pair_setup_m2(*items);
  ASSERT_TRUE(checked) << checked.error().describe();
  EXPECT_EQ(checked->server_public, vectors_.bytes("public_b"));
  EXPECT_EQ(checked->salt, vectors_.bytes("salt"));
}

TEST(PairSetupResponder, AnswersBadMessagesWithAnErrorItem) {
  struct Case {
    const char* name;
    Bytes body;
    std::uint8_t code;
  };
  const Case cases[] = {
      {"not TLV8", {0x06, 0x05}, kPairingUnknownError},
      {"not transient", engine::tlv8_encode({{0, {0}}, {6, {1}}}), kPairingUnknownError},
      {"M3 before M1", engine::tlv8_encode({{3, Bytes(384, 1)}, {4, Bytes(64, 2)}, {6, {3}}}),
       kPairingUnknownError},
      {"state 5", engine::tlv8_encode({{6, {5}}}), kPairingUnknownError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PairSetupResponder responder;
    const auto step = responder.handle(c.body);
    EXPECT_FALSE(step.paired);
    auto items = engine::tlv8_decode(step.body);
    ASSERT_TRUE(items);
    auto error = engine::check_pairing_error_item(*items);
    ASSERT_FALSE(error);
    EXPECT_EQ(error.error().describe(), "HomePod pairing error code " + std::to_string(c.code));
  }
}

TEST(PairSetupResponder, AWrongProofInM3GetsTheAuthenticationError) {
  PairSetupResponder responder;
  ASSERT_FALSE(responder.handle(engine::pair_setup_m1_body()).paired);
  const auto step = responder.handle(engine::pair_setup_m3_body(Bytes(384, 7), Bytes(64, 9)));
  EXPECT_FALSE(step.paired);
  EXPECT_FALSE(responder.session_keys().has_value());
  auto items = engine::tlv8_decode(step.body);
  ASSERT_TRUE(items);
  EXPECT_EQ(engine::check_pairing_error_item(*items).error().describe(),
            "HomePod pairing error code 2");
}

TEST(TestReceiverRoutes, ScriptedRoutesWinForTheirUsesThenTheBuiltInOnesAnswer) {
  auto receiver = TestReceiver::start();
  ASSERT_TRUE(receiver);
  (*receiver)->script("OPTIONS", "*", ScriptedReply::status(404, "Not Found"), 2);
  (*receiver)->script("SETUP", "", ScriptedReply::status(453, "Not Enough Bandwidth"));
  auto connection = engine::rtsp_connect_with_deadline((*receiver)->address(), "02:00:00:00:00:01",
                                                       engine::CancelSource::none());
  ASSERT_TRUE(connection);
  const struct {
    const char* method;
    const char* uri;
    std::uint16_t status;
  } expected[] = {{"OPTIONS", "*", 404},          {"OPTIONS", "*", 404},
                  {"OPTIONS", "*", 200},          {"SETUP", "rtsp://a/b", 453},
                  {"SETUP", "rtsp://a/b", 400},   {"GET", "/info", 200},
                  {"ANNOUNCE", "rtsp://a/b", 501}};
  for (const auto& step : expected) {
    SCOPED_TRACE(std::string(step.method) + " " + std::to_string(step.status));
    auto response = engine::rtsp_exchange(*connection, step.method, step.uri, {}, {},
                                          engine::CancelSource::none());
    ASSERT_TRUE(response) << response.error().describe();
    EXPECT_EQ(response->status, step.status);
  }
  EXPECT_EQ((*receiver)->connections_accepted(), 1u);
}

TEST(TestReceiverRoutes, AnIdleConnectionIsClosedByTheReceiver) {
  ReceiverOptions options;
  options.idle_limit = 100ms;
  auto receiver = TestReceiver::start(std::move(options));
  ASSERT_TRUE(receiver);
  auto connection = engine::rtsp_connect_with_deadline((*receiver)->address(), "02:00:00:00:00:01",
                                                       engine::CancelSource::none());
  ASSERT_TRUE(connection);
  EXPECT_TRUE((*receiver)->wait_for_closed_connections(1, 5s));
}

}  // namespace
}  // namespace kestrune::test_receiver
