// The session start against the loopback receiver: the requests in order, the progress lines, the
// record it returns, every failure with the clean-up it implies, and stop requests on the way.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <regex>
#include <thread>

#include "engine/core/start_point.hpp"
#include "engine/core/start_point_testing.hpp"
#include "engine/plist/plist_codec.hpp"
#include "engine/rtsp/session_keys.hpp"
#include "platform/tcp_listener.hpp"
#include "session_fixture.hpp"
#include "tests/support/captured_stderr.hpp"

namespace kestrune::engine::testing {
namespace {

using test_receiver::ConnectionContext;
using test_receiver::ReceivedRequest;
using test_receiver::ScriptedReply;
using test_receiver::ScriptedResponse;
using test_receiver::SetupPhase;
using test_receiver::UdpEndpoint;

const std::regex kUpperUuid("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");

std::string header_or_none(const ReceivedRequest& request, std::string_view name) {
  return request.header(name).value_or("<none>");
}

// Every line must match its pattern, in order, and no line may be left over.
void expect_lines(const std::vector<std::string>& lines, const std::vector<std::string>& patterns) {
  for (std::size_t i = 0; i < std::max(lines.size(), patterns.size()); ++i) {
    const std::string line = i < lines.size() ? lines[i] : "<missing>";
    const std::string pattern = i < patterns.size() ? patterns[i] : "<none expected>";
    EXPECT_TRUE(std::regex_match(line, std::regex(pattern)))
        << "line " << i << ": " << line << "\n  pattern: " << pattern;
  }
}

std::string port_text(std::uint16_t port) { return std::to_string(port); }

class StartSequenceTest : public SessionFixture {};

TEST_F(StartSequenceTest, AWholeStartSendsEveryRequestInOrderAndReturnsAnActiveRecord) {
  test_support::CapturedStderr captured;
  const auto started_at = Clock::now();
  ASSERT_NO_FATAL_FAILURE(start_session());
  const auto lines = captured.finish_lines();
  const RtspSession& session = *record;

  // The record.
  const std::string prefix = "rtsp://127.0.0.1/";
  ASSERT_TRUE(session.url.starts_with(prefix)) << session.url;
  const std::string uuid = session.url.substr(prefix.size());
  EXPECT_TRUE(std::regex_match(uuid, kUpperUuid)) << uuid;
  const auto& endpoints = receiver->endpoints();
  EXPECT_EQ(session.state, TransportState::active);
  EXPECT_EQ(session.event_port, endpoints.event_port());
  EXPECT_EQ(session.remote_timing_port, endpoints.port(UdpEndpoint::timing));
  EXPECT_EQ(session.data_port, endpoints.port(UdpEndpoint::data));
  EXPECT_EQ(session.remote_control_port, endpoints.port(UdpEndpoint::control));
  EXPECT_EQ(session.local_timing_port, session.timing_responder.local_port);
  EXPECT_EQ(session.local_control_port, session.control_socket.local_port().value());
  EXPECT_EQ(session.control_socket.local_address()->ip_string(), "0.0.0.0");
  EXPECT_EQ(session.receiver_address, platform::IpAddress::v4(127, 0, 0, 1));
  ASSERT_TRUE(session.events_connection.has_value());
  EXPECT_TRUE(endpoints.wait_for_event_connections(1, 2s));
  ASSERT_TRUE(receiver->session_keys().has_value());
  EXPECT_EQ(session.audio_key, receiver->session_keys()->events_key);
  {
    auto connection = session.connection->lock();
    EXPECT_FALSE(connection->is_poisoned());
    EXPECT_EQ(connection->request_timeout(), kRtspRequestTimeout);
    EXPECT_EQ(connection->session_id(), "7A1C2E30;timeout=60");
  }
  EXPECT_FALSE(deadline_armed());
  EXPECT_EQ(evidence(), ShutdownEvidence{});
  EXPECT_LT(elapsed_since(started_at), 5s);

  // The requests, their CSeq and what each carried.
  const auto requests = receiver->requests();
  ASSERT_EQ(requests.size(), 7u);
  const struct {
    const char* method;
    std::string uri;
    const char* content_type;
    bool encrypted;
    const char* session_header;
  } expected[] = {
      {"GET", "/info", "application/x-apple-binary-plist", false, "<none>"},
      {"POST", "/pair-setup", "application/octet-stream", false, "<none>"},
      {"POST", "/pair-setup", "application/octet-stream", false, "<none>"},
      {"OPTIONS", "*", "<none>", true, "<none>"},
      {"SETUP", session.url, "application/x-apple-binary-plist", true, "<none>"},
      {"SETUP", session.url, "application/x-apple-binary-plist", true, "7A1C2E30;timeout=60"},
      {"RECORD", session.url, "<none>", true, "7A1C2E30;timeout=60"},
  };
  const std::string device_id = header_or_none(requests[0], "X-Apple-Device-ID");
  EXPECT_TRUE(std::regex_match(device_id, std::regex("[0-9A-F]{2}(:[0-9A-F]{2}){5}"))) << device_id;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    SCOPED_TRACE("request " + std::to_string(i + 1));
    EXPECT_EQ(requests[i].method, expected[i].method);
    EXPECT_EQ(requests[i].uri, expected[i].uri);
    EXPECT_EQ(requests[i].cseq(), i + 1);
    EXPECT_EQ(requests[i].encrypted, expected[i].encrypted);
    EXPECT_EQ(header_or_none(requests[i], "Content-Type"), expected[i].content_type);
    EXPECT_EQ(header_or_none(requests[i], "Session"), expected[i].session_header);
    EXPECT_EQ(header_or_none(requests[i], "X-Apple-Device-ID"), device_id);
  }
  EXPECT_TRUE(requests[0].body.empty());
  EXPECT_TRUE(requests[3].body.empty());
  EXPECT_EQ(test_receiver::setup_phase_of(requests[4]), SetupPhase::one);
  EXPECT_EQ(test_receiver::announced_sender_port(requests[4]), session.local_timing_port);
  EXPECT_EQ(test_receiver::setup_phase_of(requests[5]), SetupPhase::two);
  EXPECT_EQ(test_receiver::announced_sender_port(requests[5]), session.local_control_port);
  auto setup1 = decode_binary_plist(requests[4].body);
  ASSERT_TRUE(setup1);
  EXPECT_EQ(plist_dictionary_shape(setup1->get()),
            "deviceID:string,sessionUUID:string,timingPort:integer,timingProtocol:string");
  const std::vector<test_receiver::ReceivedRequest>& all = requests;
  std::vector<std::pair<std::string, std::string>> record_headers;
  for (const auto& header : all[6].headers) {
    if (header.name == "X-Apple-ProtocolVersion" || header.name == "Range" ||
        header.name == "RTP-Info") {
      record_headers.emplace_back(header.name, header.value);
    }
  }
  EXPECT_EQ(
      record_headers,
      (std::vector<std::pair<std::string, std::string>>{
          {"X-Apple-ProtocolVersion", "1"}, {"Range", "npt=0-"}, {"RTP-Info", "seq=0;rtptime=0"}}));
  EXPECT_TRUE(all[6].body.empty());

  // The progress lines.
  const auto rtsp_line = [](const char* method, int cseq) {
    return std::string("rtsp method=") + method + " cseq=" + std::to_string(cseq) +
           " status=200 elapsed_ms=\\d+";
  };
  const std::string timing = port_text(session.local_timing_port);
  const std::string event = port_text(session.event_port);
  expect_lines(
      lines,
      {
          "stage=tcp_connect target=<redacted>",
          rtsp_line("GET", 1),
          "stage=info status=200 body_bytes=" +
              std::to_string(test_receiver::default_info_body().size()),
          rtsp_line("POST", 2),
          rtsp_line("POST", 3),
          rtsp_line("OPTIONS", 4),
          "stage=encrypted_options status=200",
          "session uuid=" + uuid,
          "stage=setup1_send local_timing_port=" + timing +
              " body_bytes=" + std::to_string(requests[4].body.size()) +
              " fields=deviceID:string,sessionUUID:string,timingPort:integer,timingProtocol:NTP",
          rtsp_line("SETUP", 5),
          "stage=setup1_response body_bytes=\\d+ shape=eventPort:integer,timingPort:integer",
          "stage=setup1 local_timing_port=" + timing + " event_port=" + event +
              " remote_timing_port=" + port_text(endpoints.port(UdpEndpoint::timing)) +
              " response_types=eventPort:integer,timingPort:optional_integer",
          "stage=events connected=true port=" + event,
          rtsp_line("SETUP", 6),
          "stage=setup2_response body_bytes=\\d+ "
          "type96_shape=type:integer,dataPort:integer,controlPort:integer,streamID:integer",
          "stage=setup2 local_control_port=" + port_text(session.local_control_port) +
              " data_port=" + port_text(session.data_port) +
              " control_port=" + port_text(session.remote_control_port) +
              " stream_id=1 response_types=type:integer,dataPort:integer,controlPort:integer,"
              "streamID:optional_integer request_shk_type=data",
          rtsp_line("RECORD", 7),
          "stage=record status=200",
      });
}

TEST_F(StartSequenceTest, TheTimingResponderAnswersOnThePortTheSetupAnnounced) {
  ASSERT_NO_FATAL_FAILURE(start_session());
  std::vector<std::uint8_t> request(32, 0);
  request[0] = 0x80;
  request[1] = 0xD2;
  const auto& endpoints = receiver->endpoints();
  ASSERT_TRUE(endpoints.send_from(UdpEndpoint::timing, request,
                                  platform::SocketAddress::loopback_v4(record->local_timing_port)));
  ASSERT_TRUE(endpoints.wait_for_datagrams(UdpEndpoint::timing, 1, 2s));
  EXPECT_EQ(endpoints.datagrams(UdpEndpoint::timing)[0].bytes[1], 0xD3);
}

// Starts that succeed all the same, each with its one warning line.
struct TolerableCase {
  const char* name;
  std::function<void(test_receiver::ReceiverOptions&)> configure;
  std::function<void(test_receiver::TestReceiver&)> script;
  const char* warning;
};

class TolerableStartTest : public StartSequenceTest,
                           public ::testing::WithParamInterface<TolerableCase> {};

std::uint16_t closed_tcp_port() {
  auto listener = platform::TcpListener::bind(platform::SocketAddress::loopback_v4(0)).value();
  return listener.local_address()->port();  // closed again when the listener goes
}

TEST_P(TolerableStartTest, StartsWithItsWarning) {
  test_receiver::ReceiverOptions options;
  if (GetParam().configure) GetParam().configure(options);
  ASSERT_NO_FATAL_FAILURE(start_receiver(std::move(options)));
  if (GetParam().script) GetParam().script(*receiver);
  test_support::CapturedStderr captured;
  ASSERT_NO_FATAL_FAILURE(start_session());
  const auto lines = captured.finish_lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), GetParam().warning), lines.end());
  EXPECT_EQ(lines.back(), "stage=record status=200");
  EXPECT_EQ(record->state, TransportState::active);
  EXPECT_FALSE(deadline_armed());
}

INSTANTIATE_TEST_SUITE_P(
    Warnings, TolerableStartTest,
    ::testing::Values(
        TolerableCase{"OptionsRejected", nullptr,
                      [](test_receiver::TestReceiver& r) {
                        r.script("OPTIONS", "*", ScriptedReply::status(404, "Not Found"));
                      },
                      "warning[encrypted_options]: RTSP 404"},
        TolerableCase{"RecordAnswered204", nullptr,
                      [](test_receiver::TestReceiver& r) {
                        r.script("RECORD", "", ScriptedReply::status(204, "No Content"));
                      },
                      "stage=record status=200"},
        TolerableCase{"NoSessionHeader",
                      [](test_receiver::ReceiverOptions& o) { o.session.session_header.reset(); },
                      nullptr,
                      "warning[setup1]: missing Session header, using compatibility value 1"},
        TolerableCase{
            "EventPortClosed",
            [](test_receiver::ReceiverOptions& o) { o.session.event_port = closed_tcp_port(); },
            nullptr, "warning[events]: connection failed"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(StartSequenceTest, WithoutASessionHeaderTheLaterRequestsCarrySessionOne) {
  test_receiver::ReceiverOptions options;
  options.session.session_header.reset();
  ASSERT_NO_FATAL_FAILURE(start_receiver(std::move(options)));
  ASSERT_NO_FATAL_FAILURE(start_session());
  const auto setups = receiver->requests_with("SETUP");
  ASSERT_EQ(setups.size(), 2u);
  EXPECT_EQ(setups[0].header("Session"), std::nullopt);
  EXPECT_EQ(setups[1].header("Session"), "1");
  EXPECT_EQ(receiver->requests_with("RECORD").at(0).header("Session"), "1");
}

TEST_F(StartSequenceTest, AnAbsentTimingPortAndStreamIdAreShownAsAbsent) {
  test_receiver::ReceiverOptions options;
  options.session.announce_timing_port = false;
  options.session.stream_id.reset();
  ASSERT_NO_FATAL_FAILURE(start_receiver(std::move(options)));
  test_support::CapturedStderr captured;
  ASSERT_NO_FATAL_FAILURE(start_session());
  const std::string text = captured.finish();
  EXPECT_NE(text.find(" remote_timing_port=<absent> "), std::string::npos) << text;
  EXPECT_NE(text.find(" stream_id=<absent> "), std::string::npos) << text;
  EXPECT_EQ(record->remote_timing_port, std::nullopt);
}

TEST_F(StartSequenceTest, AnEventPortWhereNothingListensOnlyWarns) {
  test_receiver::ReceiverOptions options;
  options.session.event_port = closed_tcp_port();
  ASSERT_NO_FATAL_FAILURE(start_receiver(std::move(options)));
  ASSERT_NO_FATAL_FAILURE(start_session());
  EXPECT_FALSE(record->events_connection.has_value());
  EXPECT_EQ(receiver->endpoints().event_connections_accepted(), 0u);
  EXPECT_EQ(count_of("RECORD"), 1u);
}

// A failed start: its kind, what its error says, and what it left behind.
struct FailureCase {
  const char* name;
  std::function<void(test_receiver::TestReceiver&)> script;
  StartupErrorKind kind;
  const char* error_text;  // a part of the described error
  ShutdownEvidence evidence;
  std::uint32_t forced_stages;       // 1 only where the quick close ran
  std::vector<std::string> methods;  // every request the receiver got, in order
};

const std::vector<std::string> kUpToOptions = {"GET", "POST", "POST", "OPTIONS"};
std::vector<std::string> then(std::vector<std::string> first, std::vector<std::string> more) {
  first.insert(first.end(), more.begin(), more.end());
  return first;
}

class FailedStartTest : public StartSequenceTest,
                        public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailedStartTest, ReportsItsKindAndCleansUp) {
  const FailureCase& c = GetParam();
  c.script(*receiver);
  auto started = start();
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().kind, c.kind);
  EXPECT_NE(started.error().error.describe().find(c.error_text), std::string::npos)
      << started.error().error.describe();
  EXPECT_TRUE(deadline_armed());
  expect_evidence(evidence(), c.evidence, c.forced_stages > 0);
  EXPECT_EQ(forced_stages(), c.forced_stages);
  EXPECT_TRUE(receiver->wait_for_closed_connections(1, 2s));
  EXPECT_EQ(methods(), c.methods);
}

constexpr auto kNA = RequestOutcome::notApplicable;
constexpr auto kCompleted = CleanupOutcome::completed;
constexpr auto kForced = CleanupOutcome::forced;
constexpr auto kNoWorker = CleanupOutcome::notApplicable;

ScriptedReply with_body(std::vector<std::uint8_t> body) {
  ScriptedResponse response;
  response.body = std::move(body);
  return ScriptedReply::with(std::move(response));
}

std::vector<std::uint8_t> empty_dictionary() {
  PlistValue value(plist_new_dict());
  return encode_binary_plist(value.get()).value();
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, FailedStartTest,
    ::testing::Values(
        FailureCase{
            "InfoRejected",
            [](auto& r) { r.script("GET", "/info", ScriptedReply::status(404, "Not Found")); },
            StartupErrorKind::connect_or_info,
            "GET /info returned RTSP 404 Not Found",
            {kNoWorker, kCompleted, kNA, kNA},
            0,
            {"GET"}},
        FailureCase{"InfoConnectionClosed",
                    [](auto& r) { r.script("GET", "/info", ScriptedReply::close_connection()); },
                    StartupErrorKind::connect_or_info,
                    "read GET CSeq 1 response",
                    {kNoWorker, kForced, kNA, kNA},
                    0,
                    {"GET"}},
        FailureCase{"PairingM1Rejected",
                    [](auto& r) {
                      r.script("POST", "/pair-setup", ScriptedReply::status(401, "Unauthorized"));
                    },
                    StartupErrorKind::pairing,
                    "pair-setup M1 returned RTSP 401 Unauthorized",
                    {kNoWorker, kCompleted, kNA, kNA},
                    0,
                    {"GET", "POST"}},
        FailureCase{"OptionsTransport",
                    [](auto& r) { r.script("OPTIONS", "*", ScriptedReply::close_connection()); },
                    StartupErrorKind::pairing,
                    "encrypted OPTIONS transport",
                    {kNoWorker, kForced, kNA, kNA},
                    0,
                    kUpToOptions},
        FailureCase{"Setup1Rejected",
                    [](auto& r) {
                      r.script("SETUP", "", ScriptedReply::status(500, "Internal Server Error"));
                    },
                    StartupErrorKind::setup_phase1,
                    "SETUP phase 1 returned RTSP 500 Internal Server Error",
                    {kCompleted, kCompleted, kNA, kNA},
                    0,
                    then(kUpToOptions, {"SETUP"})},
        FailureCase{"Setup1Transport",
                    [](auto& r) { r.script("SETUP", "", ScriptedReply::close_connection()); },
                    StartupErrorKind::setup_phase1,
                    "SETUP phase 1 transport",
                    {kCompleted, kForced, kNA, kNA},
                    0,
                    then(kUpToOptions, {"SETUP"})},
        FailureCase{"Setup1AnswerWithoutEventPort",
                    [](auto& r) { r.script("SETUP", "", with_body(empty_dictionary())); },
                    StartupErrorKind::setup_phase1,
                    "plist missing eventPort",
                    {kCompleted, kCompleted, kNA, kNA},
                    0,
                    then(kUpToOptions, {"SETUP"})},
        FailureCase{"Setup2Rejected",
                    [](auto& r) {
                      r.script("SETUP", "", ScriptedReply::status(453, "Not Enough Bandwidth"), 1,
                               1);
                    },
                    StartupErrorKind::setup_phase2,
                    "SETUP phase 2 returned RTSP 453 Not Enough Bandwidth",
                    {kCompleted, kCompleted, kNA, kNA},
                    0,
                    then(kUpToOptions, {"SETUP", "SETUP"})},
        FailureCase{"Setup2AnswerWithoutStreams",
                    [](auto& r) { r.script("SETUP", "", with_body(empty_dictionary()), 1, 1); },
                    StartupErrorKind::setup_phase2,
                    "SETUP phase 2 response has no streams array",
                    {kCompleted, kCompleted, kNA, kNA},
                    0,
                    then(kUpToOptions, {"SETUP", "SETUP"})},
        FailureCase{"RecordRejected",
                    [](auto& r) {
                      r.script("RECORD", "", ScriptedReply::status(453, "Not Enough Bandwidth"));
                    },
                    StartupErrorKind::record_rejected,
                    "RECORD returned RTSP 453 Not Enough Bandwidth",
                    {kCompleted, kCompleted, RequestOutcome::succeeded, RequestOutcome::succeeded},
                    0,
                    then(kUpToOptions, {"SETUP", "SETUP", "RECORD", "FLUSH", "TEARDOWN"})},
        FailureCase{"RecordTransport",
                    [](auto& r) { r.script("RECORD", "", ScriptedReply::close_connection()); },
                    StartupErrorKind::record_transport,
                    "RECORD transport",
                    {CleanupOutcome::forced, kForced, RequestOutcome::skippedControlPoisoned,
                     RequestOutcome::skippedControlPoisoned},
                    1,
                    then(kUpToOptions, {"SETUP", "SETUP", "RECORD"})}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(StartSequenceTest, ARefusedConnectionFailsBeforeAnythingIsHeld) {
  test_support::CapturedStderr captured;
  auto started =
      start_airplay_session({platform::IpAddress::v4(127, 0, 0, 1), closed_tcp_port()}, *shared);
  const auto lines = captured.finish_lines();
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().kind, StartupErrorKind::connect_or_info);
  EXPECT_EQ(lines, std::vector<std::string>{"stage=tcp_connect target=<redacted>"});
  EXPECT_FALSE(deadline_armed());
  EXPECT_EQ(evidence(), ShutdownEvidence{});
}

TEST_F(StartSequenceTest, AFailedSetupPhase1TransportWritesTheTimingHint) {
  // The receiver asks for the time once, as a real one does after SETUP, then hangs up.
  receiver->on(
      "SETUP", "",
      [](const ReceivedRequest& request, ConnectionContext& context) {
        std::vector<std::uint8_t> timing_request(32, 0);
        timing_request[1] = 0xD2;
        const auto port = test_receiver::announced_sender_port(request).value_or(0);
        const auto before = context.endpoints.datagram_count(UdpEndpoint::timing);
        (void)context.endpoints.send_from(UdpEndpoint::timing, timing_request,
                                          platform::SocketAddress::loopback_v4(port));
        (void)context.endpoints.wait_for_datagrams(UdpEndpoint::timing, before + 1, 2s);
        return ScriptedReply::close_connection();
      },
      1);
  test_support::CapturedStderr captured;
  auto started = start();
  const std::string text = captured.finish();
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().kind, StartupErrorKind::setup_phase1);
  EXPECT_NE(text.find("diagnostic[setup1]: timing_requests_received=1 "
                      "hint=verify_Windows_Firewall_inbound_rule_for_sender\n"),
            std::string::npos)
      << text;
}

TEST_F(StartSequenceTest, RecordGetsTwoSecondsOnly) {
  receiver->script("RECORD", "", ScriptedReply::silence());
  const auto started_at = Clock::now();
  auto started = start();
  const auto took = elapsed_since(started_at);
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().kind, StartupErrorKind::record_transport);
  EXPECT_GE(took, 1900ms);
  EXPECT_LT(took, 8s);  // well short of the usual 10 s
  EXPECT_EQ(evidence().flushOutcome, RequestOutcome::skippedControlPoisoned);
}

TEST_F(StartSequenceTest, AStopBeforeTheStartDoesNothingAtAll) {
  request_session_stop(*shared, false);
  *shared->deadline.lock() = std::nullopt;  // look only at what the start itself arms
  test_support::CapturedStderr captured;
  auto started = start();
  EXPECT_TRUE(captured.finish().empty());
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().kind, StartupErrorKind::cancelled);
  EXPECT_EQ(receiver->connections_accepted(), 0u);
  EXPECT_FALSE(deadline_armed());
}

// A stop requested while the receiver keeps one request waiting.
struct StopCase {
  const char* name;
  const char* method;
  std::size_t skip;           // matching requests answered normally first
  std::size_t requests_seen;  // when the stop is requested
  ShutdownEvidence evidence;
  std::uint32_t forced_stages;
};

class StopDuringStartTest : public StartSequenceTest,
                            public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopDuringStartTest, EndsCancelledWithinAboutOneSlice) {
  const StopCase& c = GetParam();
  receiver->script(c.method, "", ScriptedReply::silence(), 1, c.skip);
  std::optional<Clock::time_point> stopped_at;
  std::thread stopper([&] {
    if (receiver->wait_for_requests(c.requests_seen, 10s)) {
      std::this_thread::sleep_for(50ms);  // let the exchange settle into its wait
      stopped_at = Clock::now();
      request_session_stop(*shared, false);
    }
  });
  auto started = start();
  const auto ended_at = Clock::now();
  stopper.join();
  ASSERT_TRUE(stopped_at.has_value());
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().kind, StartupErrorKind::cancelled) << started.error().error.describe();
  EXPECT_LT(ended_at - *stopped_at, 1s);  // a slice is 100 ms; the responder stop adds little
  expect_evidence(evidence(), c.evidence, c.forced_stages > 0);
  EXPECT_EQ(forced_stages(), c.forced_stages);
  EXPECT_EQ(receiver->requests().size(), c.requests_seen);
}

INSTANTIATE_TEST_SUITE_P(
    AtEveryWait, StopDuringStartTest,
    ::testing::Values(StopCase{"DuringInfo", "GET", 0, 1, {kNoWorker, kForced, kNA, kNA}, 0},
                      StopCase{"DuringPairingM3", "POST", 1, 3, {kNoWorker, kForced, kNA, kNA}, 0},
                      StopCase{"DuringSetup1", "SETUP", 0, 5, {kCompleted, kForced, kNA, kNA}, 0},
                      StopCase{"DuringSetup2", "SETUP", 1, 6, {kCompleted, kForced, kNA, kNA}, 0},
                      StopCase{
                          "DuringRecord",
                          "RECORD",
                          0,
                          7,
                          {CleanupOutcome::forced, kForced, RequestOutcome::skippedControlPoisoned,
                           RequestOutcome::skippedControlPoisoned},
                          1}),
    [](const auto& p) { return std::string(p.param.name); });

// A stop requested right after a step of the start: the stop check that follows ends the start
// as cancelled, with the clean-up of what is held by then and no further request. A missed check
// would show: the next step would start the timing responder, poison the connection with a
// cancelled exchange (a forced socket clean-up), or return the started session.
struct StopPointCase {
  const char* name;
  StartPoint point;
  ShutdownEvidence evidence;
  std::vector<std::string> requests;
};

void PrintTo(const StopPointCase& c, std::ostream* os) { *os << c.name; }

class StopAtStartPoint : public StartSequenceTest,
                         public ::testing::WithParamInterface<StopPointCase> {};

TEST_P(StopAtStartPoint, EndsCancelledThere) {
  const StopPointCase& c = GetParam();
  observe_start_points_for_testing([point = c.point](SessionShared& at, StartPoint reached) {
    if (reached == point) request_session_stop(at, false);
  });
  auto started = start();
  observe_start_points_for_testing({});
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().kind, StartupErrorKind::cancelled) << started.error().error.describe();
  EXPECT_EQ(evidence(), c.evidence);
  EXPECT_EQ(forced_stages(), 0u);
  EXPECT_TRUE(deadline_armed());
  EXPECT_EQ(methods(), c.requests);
}

const std::vector<std::string> kToSetup1 = {"GET", "POST", "POST", "OPTIONS", "SETUP"};
const std::vector<std::string> kToSetup2 = {"GET", "POST", "POST", "OPTIONS", "SETUP", "SETUP"};

INSTANTIATE_TEST_SUITE_P(Points, StopAtStartPoint,
                         ::testing::Values(StopPointCase{"OptionsAnswered",
                                                         StartPoint::options_answered,
                                                         {kNoWorker, kCompleted, kNA, kNA},
                                                         kUpToOptions},
                                           StopPointCase{"TimingStarted",
                                                         StartPoint::timing_started,
                                                         {kCompleted, kCompleted, kNA, kNA},
                                                         kUpToOptions},
                                           StopPointCase{"ControlSocketBound",
                                                         StartPoint::control_socket_bound,
                                                         {kCompleted, kCompleted, kNA, kNA},
                                                         kToSetup1},
                                           StopPointCase{"Setup2Answered",
                                                         StartPoint::setup2_answered,
                                                         {kCompleted, kCompleted, kNA, kNA},
                                                         kToSetup2},
                                           // The record exists by then: it gets FLUSH and TEARDOWN.
                                           StopPointCase{
                                               "RecordAnswered",
                                               StartPoint::record_answered,
                                               {kCompleted, kCompleted, RequestOutcome::succeeded,
                                                RequestOutcome::succeeded},
                                               {"GET", "POST", "POST", "OPTIONS", "SETUP", "SETUP",
                                                "RECORD", "FLUSH", "TEARDOWN"}}),
                         [](const auto& p) { return std::string(p.param.name); });

// A listener whose backlog is full and that never accepts: a connect to it waits.
class StalledListener {
 public:
  StalledListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(fd_, 0) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    // Fill the backlog; the connects that do not complete at once stay pending.
    for (int i = 0; i < 4; ++i) {
      auto filler =
          platform::TcpStream::connect(platform::SocketAddress::loopback_v4(port_), 200ms);
      if (filler) fillers_.push_back(std::move(*filler));
    }
  }
  ~StalledListener() { ::close(fd_); }
  std::uint16_t port() const { return port_; }
  // Whether a connect to it really waits.
  bool stalls() const {
    return !platform::TcpStream::connect(platform::SocketAddress::loopback_v4(port_), 200ms);
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::vector<platform::TcpStream> fillers_;
};

TEST_F(StartSequenceTest, AStopDuringTheEventsConnectWarnsAndThenCancels) {
  StalledListener stalled;
  if (!stalled.stalls()) GTEST_SKIP() << "this kernel completes every loopback connect";
  test_receiver::ReceiverOptions options;
  options.session.event_port = stalled.port();
  ASSERT_NO_FATAL_FAILURE(start_receiver(std::move(options)));
  std::thread stopper([&] {
    if (receiver->wait_for_requests(5, 10s)) {
      std::this_thread::sleep_for(300ms);
      request_session_stop(*shared, false);
    }
  });
  test_support::CapturedStderr captured;
  auto started = start();
  const std::string text = captured.finish();
  stopper.join();
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().kind, StartupErrorKind::cancelled);
  EXPECT_NE(text.find("warning[events]: connection failed\n"), std::string::npos) << text;
  EXPECT_EQ(count_of("SETUP"), 1u);  // the stop check after the events step ended it
}

}  // namespace
}  // namespace kestrune::engine::testing
