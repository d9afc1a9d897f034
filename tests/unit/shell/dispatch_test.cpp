#include "shell/dispatch.hpp"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "discovery/browse_network.hpp"
#include "shell/capabilities.hpp"
#include "shell/envelopes.hpp"
#include "shell/json_line.hpp"
#include "shell/queue_discovery_output.hpp"
#include "shell/scan_command.hpp"
#include "shell/session_error_object.hpp"
#include "tests/support/refused_port.hpp"

namespace kestrune::shell {
namespace {

using nlohmann::json;

// A host without usable interface addresses: a scan browses nothing and says so in its warning,
// and nothing goes on the machine's network.
class NoInterfaces final : public discovery::BrowseNetwork {
 public:
  support::Result<std::vector<platform::InterfaceAddress>> interface_addresses() override {
    return std::vector<platform::InterfaceAddress>{};
  }
  support::Result<std::unique_ptr<discovery::QuerySocket>> open_query_socket(
      const platform::Ipv4InterfaceAddress&, std::span<const std::uint8_t>) override {
    ADD_FAILURE() << "a socket was asked for without an interface";
    return support::fail("no interface");
  }
};

// The responses one command line produces, and what the loop is told to do next. A session that
// the line started (with the production runner) is stopped, and its events are left out.
struct Handled {
  std::vector<json> responses;
  DispatchOutcome outcome;
};

Handled handle(const std::string& line) {
  auto queue = std::make_shared<OutputQueue>();
  auto owner = discovery::spawn_discovery_owner(std::make_shared<QueueDiscoveryOutput>(queue),
                                                std::make_shared<NoInterfaces>());
  EXPECT_TRUE(owner);
  ActiveSessionSlot slot;
  ShellContext context{queue, *owner, slot, engine::start_session};
  Handled handled{{}, handle_command_line(line, context)};
  if (slot) (void)stop_active_session(slot);
  drop_discovery_owner(*owner);
  queue->finish();
  for (int i = 0; i < 20; ++i) {
    auto value = queue->pop();
    if (!value) break;
    if ((*value)["type"] == "response") handled.responses.push_back(std::move(*value));
  }
  return handled;
}

std::string command(const std::string& name, const std::string& payload,
                    const std::string& request_id = "r-1") {
  return R"({"version":1,"type":"command","requestId":")" + request_id + R"(","command":")" + name +
         R"(","payload":)" + payload + "}";
}

TEST(ProtocolErrors, CarryTheirFixedValues) {
  struct Row {
    ProtocolError error;
    const char* json_text;
  };
  namespace e = protocol_errors;
  const Row rows[] = {
      {e::kInputTooLarge,
       R"({"code":"input_too_large","retryable":false,"safeMessage":"The input line exceeds the protocol limit.","stage":"protocol"})"},
      {e::kMalformedJson,
       R"({"code":"malformed_json","retryable":false,"safeMessage":"The input line is not valid JSON.","stage":"protocol"})"},
      {e::kInvalidEnvelope,
       R"({"code":"invalid_request","retryable":false,"safeMessage":"The command envelope is invalid.","stage":"protocol"})"},
      {e::kUnsupportedVersion,
       R"({"code":"unsupported_version","retryable":false,"safeMessage":"The protocol version is not supported.","stage":"protocol"})"},
      {e::kInvalidType,
       R"({"code":"invalid_type","retryable":false,"safeMessage":"The input line must be a command.","stage":"protocol"})"},
      {e::kInvalidRequestId,
       R"({"code":"invalid_request","retryable":false,"safeMessage":"The requestId is missing or invalid.","stage":"protocol"})"},
      {e::kInvalidCommandName,
       R"({"code":"invalid_request","retryable":false,"safeMessage":"The command name is missing or invalid.","stage":"protocol"})"},
      {e::kPayloadNotObject,
       R"({"code":"invalid_request","retryable":false,"safeMessage":"The command payload must be an object.","stage":"protocol"})"},
      {e::kInvalidPayload,
       R"({"code":"invalid_request","retryable":false,"safeMessage":"The command payload is invalid.","stage":"protocol"})"},
      {e::kUnknownCommand,
       R"({"code":"unknown_command","retryable":false,"safeMessage":"The command is not supported.","stage":"protocol"})"},
      {e::kNotAvailable,
       R"({"code":"not_available","retryable":false,"safeMessage":"This capability is not available in kestrune protocol v1.","stage":"capability"})"},
      {e::kNoActiveSession,
       R"({"code":"no_active_session","retryable":false,"safeMessage":"There is no active AirPlay session.","stage":"session"})"},
      {e::kInvalidDiscoveryTimeout,
       R"({"code":"invalid_request","retryable":false,"safeMessage":"The discovery timeout is invalid.","stage":"discovery"})"},
      {e::kDiscoveryIncomplete,
       R"({"code":"kestrune_internal","retryable":true,"safeMessage":"Device discovery could not complete.","stage":"discovery"})"},
      {e::kDiscoveryResultUnusable,
       R"({"code":"kestrune_internal","retryable":false,"safeMessage":"Device discovery could not complete.","stage":"discovery"})"},
      {e::kEventPumpFailed,
       R"({"code":"kestrune_internal","retryable":false,"safeMessage":"The kestrune could not start the event pump.","stage":"internal"})"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(serialize_json_line(protocol_error_to_json(row.error)), row.json_text);
  }
}

TEST(Envelopes, HaveTheirExactShape) {
  EXPECT_EQ(serialize_json_line(build_success_response("r\"1", json{{"x", 1}})),
            R"({"ok":true,"requestId":"r\"1","result":{"x":1},"type":"response","version":1})");
  EXPECT_EQ(
      serialize_json_line(
          build_protocol_error_response(std::nullopt, protocol_errors::kMalformedJson)),
      R"({"error":{"code":"malformed_json","retryable":false,"safeMessage":"The input line is not valid JSON.","stage":"protocol"},"ok":false,"requestId":null,"type":"response","version":1})");
  EXPECT_EQ(serialize_json_line(build_event("ready", json::object())),
            R"({"event":"ready","payload":{},"type":"event","version":1})");
}

TEST(Capabilities, AreTheSameInHelloAndGetCapabilities) {
  const std::string expected =
      R"({"availableCommands":["hello","getCapabilities","startSession","stopSession","setVolume","getState","scan","shutdown"],)"
      R"("events":["ready","sessionState","metrics","warning","error","terminal","shutdownComplete","deviceDiscovered","deviceExpired"],)"
      R"("limits":{"maxInputLineBytes":65536,"maxRequestIdBytes":128,"metricsPolicy":"latestValue","reliableOutputCapacity":256},)"
      R"("protocolVersion":1,"reservedEvents":["diagnosticReady"],"singleActiveSession":true,)"
      R"("unavailableCommands":["diagnose","exportDiagnostics"]})";
  const auto capabilities = handle(command("getCapabilities", "{}"));
  ASSERT_EQ(capabilities.responses.size(), 1U);
  EXPECT_EQ(serialize_json_line(capabilities.responses[0]["result"]), expected);

  const auto hello = handle(command("hello", "{}"));
  ASSERT_EQ(hello.responses.size(), 1U);
  const json& result = hello.responses[0]["result"];
  EXPECT_EQ(serialize_json_line(result["capabilities"]), expected);
  EXPECT_EQ(result["name"], "kestrune");
  EXPECT_EQ(result["kestruneVersion"], "0.1.0");
  EXPECT_EQ(result["protocolVersion"], json(1));
  EXPECT_EQ(result.size(), 4U);
}

struct DispatchCase {
  const char* name;
  std::string line;
  // Either the error the one response carries, or its result as JSON text.
  std::optional<ProtocolError> error;
  const char* result;
  DispatchOutcome outcome;
  // A session error in place of a protocol error.
  std::optional<engine::SessionError> session_error = std::nullopt;
};

// Test names and failure messages show the case, not its bytes.
void PrintTo(const DispatchCase& c, std::ostream* os) { *os << c.name; }

class DispatchCommand : public ::testing::TestWithParam<DispatchCase> {};

TEST_P(DispatchCommand, AnswersExactlyOnce) {
  const DispatchCase& c = GetParam();
  const Handled handled = handle(c.line);
  ASSERT_EQ(handled.responses.size(), 1U);
  const json& response = handled.responses[0];
  EXPECT_EQ(response["requestId"], "r-1");
  EXPECT_EQ(response["type"], "response");
  if (c.error || c.session_error) {
    EXPECT_EQ(response["ok"], false);
    EXPECT_EQ(response["error"],
              c.error ? protocol_error_to_json(*c.error) : session_error_to_json(*c.session_error));
    EXPECT_FALSE(response.contains("result"));
  } else {
    EXPECT_EQ(response["ok"], true);
    EXPECT_EQ(serialize_json_line(response["result"]), c.result);
    EXPECT_FALSE(response.contains("error"));
  }
  EXPECT_EQ(handled.outcome, c.outcome);
}

constexpr auto kRun = DispatchOutcome::keep_running;
namespace e = protocol_errors;

// Sessions started here fail at their connect (nothing listens on the port) and are stopped.
const kestrune::testing::RefusedLoopbackPort kReceiver;
const std::string kPort = std::to_string(kReceiver.port());

const std::string kDevice =
    R"({"stableId":"dev_1","displayName":"Kitchen","addresses":["127.0.0.1"],"port":)" + kPort +
    "}";

std::string start_payload(const std::string& device = kDevice, const std::string& extra = "") {
  return R"({"device":)" + device +
         R"(,"audioSource":{"kind":"windowsDefaultOutput"},"initialVolume":0.5)" + extra + "}";
}

std::string device_with_addresses(std::size_t count, const std::string& bad = "") {
  std::string addresses;
  for (std::size_t i = 0; i < count; ++i) {
    addresses += (i ? "," : "") + std::string("\"127.0.0.") + std::to_string(i + 1) + "\"";
  }
  if (!bad.empty()) addresses += (count ? "," : "") + std::string("\"") + bad + "\"";
  return R"({"stableId":"s","displayName":"d","addresses":[)" + addresses + R"(],"port":)" + kPort +
         "}";
}

INSTANTIATE_TEST_SUITE_P(
    Names, DispatchCommand,
    ::testing::Values(
        DispatchCase{"unknown", command("nope", "{}"), e::kUnknownCommand, nullptr, kRun},
        DispatchCase{"other_case", command("Hello", "{}"), e::kUnknownCommand, nullptr, kRun},
        DispatchCase{"trailing_space", command("hello ", "{}"), e::kUnknownCommand, nullptr, kRun},
        DispatchCase{"prefix_of_known", command("scans", "{}"), e::kUnknownCommand, nullptr, kRun},
        DispatchCase{"unknown_payload_not_looked_at",
                     command("launch", R"({"volume":"x","timeoutMs":-1,"device":7})"),
                     e::kUnknownCommand, nullptr, kRun},
        DispatchCase{"hello_with_member", command("hello", R"({"verbose":true})"),
                     e::kInvalidPayload, nullptr, kRun},
        DispatchCase{"get_state_idle", command("getState", "{}"), std::nullopt,
                     R"({"session":null,"state":"idle"})", kRun},
        DispatchCase{"get_state_with_member", command("getState", R"({"x":1})"), e::kInvalidPayload,
                     nullptr, kRun},
        DispatchCase{"stop_without_session", command("stopSession", "{}"), e::kNoActiveSession,
                     nullptr, kRun},
        DispatchCase{"stop_with_member", command("stopSession", R"({"x":1})"), e::kInvalidPayload,
                     nullptr, kRun},
        DispatchCase{"volume_without_session", command("setVolume", R"({"volume":0.5})"),
                     e::kNoActiveSession, nullptr, kRun},
        DispatchCase{"volume_as_string", command("setVolume", R"({"volume":"0.5"})"),
                     e::kInvalidPayload, nullptr, kRun},
        DispatchCase{"shutdown", command("shutdown", "{}"), std::nullopt,
                     R"({"shuttingDown":true})", DispatchOutcome::shutdown_clean},
        DispatchCase{"shutdown_with_member_does_not_shut_down",
                     command("shutdown", R"({"force":true})"), e::kInvalidPayload, nullptr, kRun},
        DispatchCase{"diagnose_decodes", command("diagnose", R"({"device":)" + kDevice + "}"),
                     e::kNotAvailable, nullptr, kRun},
        DispatchCase{"diagnose_does_not_decode", command("diagnose", "{}"), e::kInvalidPayload,
                     nullptr, kRun},
        DispatchCase{"export_decodes",
                     command("exportDiagnostics", R"({"destination":"/tmp/d","sessionId":null})"),
                     e::kNotAvailable, nullptr, kRun},
        DispatchCase{"export_does_not_decode", command("exportDiagnostics", R"({"to":"x"})"),
                     e::kInvalidPayload, nullptr, kRun}),
    [](const auto& row) { return std::string(row.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Scan, DispatchCommand,
    ::testing::Values(DispatchCase{"below_range", command("scan", R"({"timeoutMs":99})"),
                                   e::kInvalidDiscoveryTimeout, nullptr, kRun},
                      DispatchCase{"above_range", command("scan", R"({"timeoutMs":5001})"),
                                   e::kInvalidDiscoveryTimeout, nullptr, kRun},
                      DispatchCase{"zero", command("scan", R"({"timeoutMs":0})"),
                                   e::kInvalidDiscoveryTimeout, nullptr, kRun},
                      // An accepted time reaches discovery, whose result is the response.
                      DispatchCase{"accepted", command("scan", R"({"timeoutMs":100})"),
                                   std::nullopt,
                                   R"({"complete":true,"devices":[],"warnings":[{"code":)"
                                   R"("discovery_interface_failed","occurrences":1}]})",
                                   kRun},
                      DispatchCase{"written_as_float", command("scan", R"({"timeoutMs":3000.0})"),
                                   e::kInvalidPayload, nullptr, kRun},
                      DispatchCase{"beyond_u32", command("scan", R"({"timeoutMs":4294967296})"),
                                   e::kInvalidPayload, nullptr, kRun}),
    [](const auto& row) { return std::string(row.param.name); });

const engine::SessionError kConfigError = engine::SessionError::of(
    engine::SessionErrorKind::config_error, engine::SessionStage::validate_config);
constexpr const char* kAccepted = R"({"accepted":true})";

INSTANTIATE_TEST_SUITE_P(
    StartSession, DispatchCommand,
    ::testing::Values(
        DispatchCase{"valid", command("startSession", start_payload()), std::nullopt, kAccepted,
                     kRun},
        DispatchCase{"sixteen_addresses",
                     command("startSession", start_payload(device_with_addresses(16))),
                     std::nullopt, kAccepted, kRun},
        DispatchCase{"seventeen_addresses",
                     command("startSession", start_payload(device_with_addresses(17))),
                     e::kInvalidPayload, nullptr, kRun},
        DispatchCase{"malformed_address",
                     command("startSession", start_payload(device_with_addresses(1, "1.2.3.001"))),
                     e::kInvalidPayload, nullptr, kRun},
        DispatchCase{"no_addresses_left_to_the_session_core",
                     command("startSession", start_payload(device_with_addresses(0))), std::nullopt,
                     nullptr, kRun, kConfigError},
        DispatchCase{
            "short_buffer_left_to_the_session_core",
            command("startSession", start_payload(kDevice, R"(,"bufferProfile":[50,90,50,250])")),
            std::nullopt, nullptr, kRun, kConfigError},
        DispatchCase{
            "malformed_features",
            command(
                "startSession",
                start_payload(
                    R"({"stableId":"s","displayName":"d","addresses":[],"port":1,"featuresHex":"0x-1"})")),
            e::kInvalidPayload, nullptr, kRun},
        DispatchCase{"zero_duration",
                     command("startSession", start_payload(kDevice, R"(,"maxDurationMs":0)")),
                     e::kInvalidPayload, nullptr, kRun},
        DispatchCase{
            "infinite_volume_passes_conversion",
            command("startSession",
                    R"({"device":)" + kDevice +
                        R"(,"audioSource":["windowsDefaultOutput"],"initialVolume":1e39})"),
            std::nullopt, nullptr, kRun, kConfigError},
        DispatchCase{"does_not_decode",
                     command("startSession", start_payload(kDevice, R"(,"bufferProfile":{})")),
                     e::kInvalidPayload, nullptr, kRun}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(ScanTime, DefaultsAndRange) {
  struct Case {
    std::optional<std::uint32_t> timeoutMs;
    std::optional<long> scan_ms;  // nothing: refused
  };
  for (const Case& c :
       {Case{std::nullopt, 3000}, Case{0, std::nullopt}, Case{99, std::nullopt}, Case{100, 100},
        Case{5000, 5000}, Case{5001, std::nullopt}, Case{4294967295U, std::nullopt}}) {
    SCOPED_TRACE(c.timeoutMs ? std::to_string(*c.timeoutMs) : "not given");
    const auto scan_time = scan_time_from_payload(ScanPayload{c.timeoutMs});
    if (c.scan_ms) {
      ASSERT_TRUE(scan_time);
      EXPECT_EQ(scan_time->count(), *c.scan_ms);
    } else {
      ASSERT_FALSE(scan_time);
      EXPECT_EQ(scan_time.error(), e::kInvalidDiscoveryTimeout);
    }
  }
}

TEST(ScanResultForHost, IsTheResultObjectUnlessATextIsNotUtf8) {
  discovery::DiscoveredDevice device{"dev_1",        "Kitchen", "Kitchen",   "AudioAccessory5,1",
                                     {"198.18.0.1"}, 7000,      std::nullopt};
  discovery::ScanResult result{{device}, {{"discovery_interface_failed", 2}}, true};
  const auto object = scan_result_for_host(result);
  ASSERT_TRUE(object);
  EXPECT_EQ(serialize_json_line(*object),
            R"({"complete":true,"devices":[{"addresses":["198.18.0.1"],"displayName":"Kitchen",)"
            R"("featuresHex":null,"id":"dev_1","model":"AudioAccessory5,1","port":7000,)"
            R"("roomName":"Kitchen"}],"warnings":[{"code":"discovery_interface_failed",)"
            R"("occurrences":2}]})");

  const std::string broken = "Kitchen\xC3";
  for (std::string discovery::DiscoveredDevice::* text :
       {&discovery::DiscoveredDevice::displayName, &discovery::DiscoveredDevice::roomName,
        &discovery::DiscoveredDevice::model}) {
    discovery::ScanResult bad = result;
    bad.devices[0].*text = broken;
    EXPECT_FALSE(scan_result_for_host(bad));
  }
  discovery::ScanResult bad_features = result;
  bad_features.devices[0].featuresHex = broken;
  EXPECT_FALSE(scan_result_for_host(bad_features));
}

TEST(DispatchCommand, EchoesTheRequestIdByteForByte) {
  const Handled handled = handle(command("getState", "{}", "r\\u00e9\\\"\xF0\x9F\x8E\xB5/\\n"));
  ASSERT_EQ(handled.responses.size(), 1U);
  EXPECT_EQ(handled.responses[0]["requestId"], "r\xC3\xA9\"\xF0\x9F\x8E\xB5/\n");
}

TEST(CommandEnvelope, KeepsOnlyItsThreeValues) {
  const auto validated = validate_command_line(
      R"({"extra":[1],"payload":{"a":{"b":1}},"command":"x","requestId":"id","type":"command","version":1})"
      "\r");
  ASSERT_TRUE(std::holds_alternative<CommandEnvelope>(validated));
  const auto& envelope = std::get<CommandEnvelope>(validated);
  EXPECT_EQ(envelope.requestId, "id");
  EXPECT_EQ(envelope.command, "x");
  EXPECT_EQ(envelope.payload, json::parse(R"({"a":{"b":1}})"));
}

}  // namespace
}  // namespace kestrune::shell
