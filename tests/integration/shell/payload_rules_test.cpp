// The payload decoding rules as the host meets them: each row is one command line whose answer
// shows whether its payload decoded (and, for scan, what the timeout check made of it; for
// startSession, what the session core's range checks made of it). All rows go through one
// kestrune process, in order, one response each; a session that a row starts ends by itself
// before the next row is written. The process has a network namespace of its own without any
// usable interface address, so its scans browse nothing.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/integration/shell/process_harness.hpp"

namespace kestrune::testing {
namespace {

enum class Answer {
  invalid_payload,  // did not decode
  idle,             // getState ran
  hello,            // hello ran
  no_session,       // stopSession / setVolume decoded
  accepted,         // startSession decoded, converted and passed the session core's checks
  config_error,     // startSession decoded and converted; the session core refused a range
  not_available,    // diagnose / exportDiagnostics decoded
  timeout_invalid,  // scan decoded; its time is out of range
  no_interfaces,    // scan decoded and ran; there was no interface address to browse on
};

struct PayloadRow {
  const char* name;
  const char* command;
  std::string payload;
  Answer answer;
};

std::string expected_line(const std::string& id, Answer answer) {
  const std::string quoted = "\"" + id + "\"";
  switch (answer) {
    case Answer::invalid_payload:
      return error_line(quoted, "invalid_request", "protocol", "The command payload is invalid.");
    case Answer::idle:
      return R"({"ok":true,"requestId":)" + quoted +
             R"(,"result":{"session":null,"state":"idle"},"type":"response","version":1})";
    case Answer::hello:
      return "hello";  // checked by prefix below
    case Answer::no_session:
      return error_line(quoted, "no_active_session", "session",
                        "There is no active AirPlay session.");
    case Answer::accepted:
      return accepted_line(id);
    case Answer::config_error:
      return error_line(quoted, "config_error", "validate_config",
                        "The session configuration is invalid.");
    case Answer::not_available:
      return error_line(quoted, "not_available", "capability",
                        "This capability is not available in kestrune protocol v1.");
    case Answer::timeout_invalid:
      return error_line(quoted, "invalid_request", "discovery",
                        "The discovery timeout is invalid.");
    case Answer::no_interfaces:
      return R"({"ok":true,"requestId":)" + quoted +
             R"(,"result":{"complete":true,"devices":[],"warnings":[{"code":)"
             R"("discovery_interface_failed","occurrences":1}]},"type":"response","version":1})";
  }
  return "";
}

const std::string kDevice =
    R"({"stableId":"dev_1","displayName":"Kitchen","addresses":["127.0.0.1"],"port":7000})";

std::string start(const std::string& device,
                  const std::string& source = R"(["windowsDefaultOutput"])",
                  const std::string& rest = R"(,"initialVolume":0.5)") {
  return R"({"device":)" + device + R"(,"audioSource":)" + source + rest + "}";
}

std::string device_port(const std::string& port) {
  return R"({"stableId":"s","displayName":"d","addresses":["127.0.0.1"],"port":)" + port + "}";
}

const std::vector<PayloadRow> kRows = {
    // Empty payloads
    {"hello_empty", "hello", "{}", Answer::hello},
    {"hello_member", "hello", R"({"verbose":true})", Answer::invalid_payload},
    {"get_state_null_member", "getState", R"({"x":null})", Answer::invalid_payload},
    {"stop_empty", "stopSession", "{}", Answer::no_session},
    // Unsigned integers, through scan's timeoutMs
    {"scan_shortest", "scan", R"({"timeoutMs":100})", Answer::no_interfaces},
    {"scan_99_decodes_then_refused", "scan", R"({"timeoutMs":99})", Answer::timeout_invalid},
    {"scan_u32_max_decodes", "scan", R"({"timeoutMs":4294967295})", Answer::timeout_invalid},
    {"scan_beyond_u32", "scan", R"({"timeoutMs":4294967296})", Answer::invalid_payload},
    {"scan_fraction", "scan", R"({"timeoutMs":3000.0})", Answer::invalid_payload},
    {"scan_exponent", "scan", R"({"timeoutMs":3e3})", Answer::invalid_payload},
    {"scan_negative", "scan", R"({"timeoutMs":-1})", Answer::invalid_payload},
    {"scan_minus_zero", "scan", R"({"timeoutMs":-0})", Answer::invalid_payload},
    {"scan_string", "scan", R"({"timeoutMs":"3000"})", Answer::invalid_payload},
    {"scan_other_case_key", "scan", R"({"TimeoutMs":3000})", Answer::invalid_payload},
    {"scan_unknown_key", "scan", R"({"timeoutMs":100,"x":1})", Answer::invalid_payload},
    // Floats, through setVolume
    {"volume_integer", "setVolume", R"({"volume":1})", Answer::no_session},
    {"volume_beyond_float", "setVolume", R"({"volume":1e39})", Answer::no_session},
    {"volume_negative_exponent", "setVolume", R"({"volume":-2e-3})", Answer::no_session},
    {"volume_string", "setVolume", R"({"volume":"0.5"})", Answer::invalid_payload},
    {"volume_null", "setVolume", R"({"volume":null})", Answer::invalid_payload},
    {"volume_missing", "setVolume", "{}", Answer::invalid_payload},
    {"volume_repeated_last_wins", "setVolume", R"({"volume":"x","volume":0.4})",
     Answer::no_session},
    // Start payload: widths, strings, arrays, optional and nested records
    {"start_object_forms", "startSession", start(kDevice), Answer::accepted},
    {"start_port_u16_max", "startSession", start(device_port("65535")), Answer::accepted},
    {"start_port_70000", "startSession", start(device_port("70000")), Answer::invalid_payload},
    {"start_port_zero_left_to_session_core", "startSession", start(device_port("0")),
     Answer::config_error},
    {"start_device_five_element_array", "startSession",
     start(R"(["dev_1","Kitchen",null,["127.0.0.1"],7000])"), Answer::accepted},
    {"start_device_array_without_model_slot", "startSession",
     start(R"(["dev_1","Kitchen",["127.0.0.1"],7000])"), Answer::invalid_payload},
    {"start_device_seven_elements", "startSession",
     start(R"(["dev_1","Kitchen",null,[],7000,null,null])"), Answer::invalid_payload},
    {"start_address_not_string", "startSession",
     start(R"({"stableId":"s","displayName":"d","addresses":[7],"port":1})"),
     Answer::invalid_payload},
    {"start_empty_strings_decode", "startSession",
     start(R"({"stableId":"","displayName":"","model":"","addresses":[],"port":1})"),
     Answer::config_error},
    {"start_profile_null", "startSession",
     start(kDevice, R"(["windowsDefaultOutput"])", R"(,"initialVolume":0,"bufferProfile":null)"),
     Answer::accepted},
    {"start_profile_array", "startSession",
     start(kDevice, R"(["windowsDefaultOutput"])",
           R"(,"initialVolume":0,"bufferProfile":[150,255,50,18446744073709551615])"),
     Answer::config_error},
    {"start_profile_u8_over", "startSession",
     start(kDevice, R"(["windowsDefaultOutput"])",
           R"(,"initialVolume":0,"bufferProfile":[150,256,50,250])"),
     Answer::invalid_payload},
    {"start_profile_three_members", "startSession",
     start(
         kDevice, R"(["windowsDefaultOutput"])",
         R"(,"initialVolume":0,"bufferProfile":{"capacityMs":1,"startFillPercent":1,"refillPercent":1})"),
     Answer::invalid_payload},
    {"start_profile_empty", "startSession",
     start(kDevice, R"(["windowsDefaultOutput"])", R"(,"initialVolume":0,"bufferProfile":{})"),
     Answer::invalid_payload},
    {"start_duration_u64_max", "startSession",
     start(kDevice, R"(["windowsDefaultOutput"])",
           R"(,"initialVolume":0,"maxDurationMs":18446744073709551615)"),
     Answer::accepted},
    {"start_duration_beyond_u64", "startSession",
     start(kDevice, R"(["windowsDefaultOutput"])",
           R"(,"initialVolume":0,"maxDurationMs":18446744073709551616)"),
     Answer::invalid_payload},
    {"start_volume_missing", "startSession", start(kDevice, R"(["windowsDefaultOutput"])", ""),
     Answer::invalid_payload},
    {"start_unknown_member", "startSession",
     start(kDevice, R"(["windowsDefaultOutput"])", R"(,"initialVolume":0,"gain":1)"),
     Answer::invalid_payload},
    // Audio source
    {"source_file_object", "startSession", start(kDevice, R"({"kind":"file","path":"/a.wav"})"),
     Answer::accepted},
    {"source_file_array", "startSession", start(kDevice, R"(["file","/a.wav"])"), Answer::accepted},
    {"source_file_without_path", "startSession", start(kDevice, R"({"kind":"file"})"),
     Answer::invalid_payload},
    {"source_file_third_member", "startSession",
     start(kDevice, R"({"kind":"file","path":"/a.wav","gain":1})"), Answer::invalid_payload},
    {"source_kind_capital", "startSession", start(kDevice, R"({"kind":"File","path":"/a.wav"})"),
     Answer::invalid_payload},
    {"source_default_output_ignores_path", "startSession",
     start(kDevice, R"({"kind":"windowsDefaultOutput","path":5})"), Answer::accepted},
    {"source_default_output_array_extra", "startSession",
     start(kDevice, R"(["windowsDefaultOutput","/a.wav"])"), Answer::invalid_payload},
    // Reserved commands decode fully before they are refused
    {"diagnose_decodes", "diagnose", R"({"device":)" + kDevice + R"(,"timeoutMs":null})",
     Answer::not_available},
    {"diagnose_bad_timeout", "diagnose", R"({"device":)" + kDevice + R"(,"timeoutMs":1.5})",
     Answer::invalid_payload},
    {"export_decodes", "exportDiagnostics", R"({"destination":""})", Answer::not_available},
    {"export_missing_destination", "exportDiagnostics", R"({"sessionId":"x"})",
     Answer::invalid_payload},
};

TEST(PayloadRules, EachLineAnswersAsItsPayloadDecodes) {
  auto process =
      start_ready(KestruneProcess::Stdin::pipe, KestruneProcess::Network::private_namespace);
  std::string expected_stderr;
  for (std::size_t i = 0; i < kRows.size(); ++i) {
    SCOPED_TRACE(kRows[i].name);
    ASSERT_TRUE(process->write_line(
        command_line("p" + std::to_string(i), kRows[i].command, kRows[i].payload)));
    const auto line = process->read_line();
    ASSERT_TRUE(line);
    const std::string id = "p" + std::to_string(i);
    if (kRows[i].answer == Answer::hello) {
      EXPECT_TRUE(
          line->starts_with(R"({"ok":true,"requestId":")" + id + R"(","result":{"capabilities":{)"))
          << *line;
    } else {
      EXPECT_EQ(*line, expected_line(id, kRows[i].answer));
    }
    if (kRows[i].answer == Answer::accepted) {
      // kestrune's namespace has no usable network, so the session fails at its connect.
      expect_session_refused_at_connect(*process);
      expected_stderr += kConnectStderrLine;
    }
  }
  expect_orderly_end(*process, {shutdown_complete_line("stdin_eof", true)}, expected_stderr);
}

}  // namespace
}  // namespace kestrune::testing
