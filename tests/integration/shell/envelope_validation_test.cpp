// Every check of the command envelope, in its order, against the real binary: each line gets
// exactly one response, and the process carries on normally after it.

#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "tests/integration/shell/process_harness.hpp"

namespace kestrune::testing {
namespace {

const std::string kTooLarge = "input_too_large";
const std::string kProtocol = "protocol";

struct EnvelopeCase {
  const char* name;
  std::string line;
  std::string response;  // the whole expected line
};

void PrintTo(const EnvelopeCase& c, std::ostream* os) { *os << c.name; }

class EnvelopeValidation : public ::testing::TestWithParam<EnvelopeCase> {};

TEST_P(EnvelopeValidation, AnswersTheFirstFailedCheck) {
  auto process = start_ready();
  ASSERT_TRUE(process->write_line(GetParam().line));
  EXPECT_EQ(process->read_line(), GetParam().response);
  expect_orderly_end(*process, {shutdown_complete_line("stdin_eof", true)});
}

std::string malformed() {
  return error_line("null", "malformed_json", kProtocol, "The input line is not valid JSON.");
}
std::string not_object() {
  return error_line("null", "invalid_request", kProtocol, "The command envelope is invalid.");
}
std::string bad_version(const std::string& id = "null") {
  return error_line(id, "unsupported_version", kProtocol, "The protocol version is not supported.");
}
std::string bad_type(const std::string& id) {
  return error_line(id, "invalid_type", kProtocol, "The input line must be a command.");
}
std::string bad_request_id() {
  return error_line("null", "invalid_request", kProtocol, "The requestId is missing or invalid.");
}
std::string bad_command(const std::string& id) {
  return error_line(id, "invalid_request", kProtocol, "The command name is missing or invalid.");
}
std::string bad_payload(const std::string& id) {
  return error_line(id, "invalid_request", kProtocol, "The command payload must be an object.");
}
std::string idle(const std::string& id) {
  return R"({"ok":true,"requestId":)" + id +
         R"(,"result":{"session":null,"state":"idle"},"type":"response","version":1})";
}

// An envelope built from raw member texts (absent when empty), in this order.
std::string envelope(const std::string& version, const std::string& type, const std::string& id,
                     const std::string& command, const std::string& payload) {
  std::string text = "{";
  auto add = [&](const char* key, const std::string& value) {
    if (value.empty()) return;
    if (text.size() > 1) text += ",";
    text += "\"" + std::string(key) + "\":" + value;
  };
  add("version", version);
  add("type", type);
  add("requestId", id);
  add("command", command);
  add("payload", payload);
  return text + "}";
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

const std::string kType = quoted("command");
const std::string kId = quoted("r1");
const std::string kGetState = quoted("getState");

INSTANTIATE_TEST_SUITE_P(
    Checks, EnvelopeValidation,
    ::testing::Values(
        // 0: too large (65537 bytes before the line feed)
        EnvelopeCase{
            "too_large", std::string(65537, ' '),
            error_line("null", kTooLarge, kProtocol, "The input line exceeds the protocol limit.")},
        // 1: not JSON
        EnvelopeCase{"empty_line", "", malformed()},
        EnvelopeCase{"only_spaces", "    ", malformed()},
        EnvelopeCase{"not_json", "hello", malformed()},
        EnvelopeCase{"truncated", R"({"version":1,)", malformed()},
        EnvelopeCase{"two_values", "{} {}", malformed()},
        EnvelopeCase{"invalid_utf8", "{\"requestId\":\"\xC3\x28\"}", malformed()},
        EnvelopeCase{"nested_too_deep", std::string(129, '[') + std::string(129, ']'), malformed()},
        EnvelopeCase{"number_beyond_double", envelope("1", kType, kId, kGetState, R"({"x":1e400})"),
                     malformed()},
        // 2: not an object
        EnvelopeCase{"array", "[]", not_object()},
        EnvelopeCase{"string", R"("command")", not_object()},
        EnvelopeCase{"number", "1", not_object()},
        EnvelopeCase{"nested_128_deep_is_json", std::string(128, '[') + std::string(128, ']'),
                     not_object()},
        // 3: version
        EnvelopeCase{"empty_object", "{}", bad_version()},
        EnvelopeCase{"version_missing_id_echoed", envelope("", kType, kId, kGetState, "{}"),
                     bad_version(kId)},
        EnvelopeCase{"version_as_float", envelope("1.0", kType, kId, kGetState, "{}"),
                     bad_version(kId)},
        EnvelopeCase{"version_with_exponent", envelope("1e0", kType, kId, kGetState, "{}"),
                     bad_version(kId)},
        EnvelopeCase{"version_as_string", envelope(quoted("1"), kType, kId, kGetState, "{}"),
                     bad_version(kId)},
        EnvelopeCase{"version_negative", envelope("-1", kType, kId, kGetState, "{}"),
                     bad_version(kId)},
        EnvelopeCase{"version_two", envelope("2", kType, kId, kGetState, "{}"), bad_version(kId)},
        EnvelopeCase{"version_checked_before_request_id",
                     envelope("2", kType, quoted(std::string(129, 'x')), kGetState, "{}"),
                     bad_version()},
        // 4: type
        EnvelopeCase{"type_event", envelope("1", quoted("event"), kId, kGetState, "{}"),
                     bad_type(kId)},
        EnvelopeCase{"type_missing", envelope("1", "", kId, kGetState, "{}"), bad_type(kId)},
        EnvelopeCase{"type_other_case", envelope("1", quoted("Command"), kId, kGetState, "{}"),
                     bad_type(kId)},
        EnvelopeCase{"type_checked_before_payload", envelope("1", "true", kId, kGetState, "[]"),
                     bad_type(kId)},
        EnvelopeCase{"type_without_valid_id", envelope("1", quoted("event"), "7", kGetState, "{}"),
                     bad_type("null")},
        // 5: requestId
        EnvelopeCase{"id_missing", envelope("1", kType, "", kGetState, "{}"), bad_request_id()},
        EnvelopeCase{"id_number", envelope("1", kType, "17", kGetState, "{}"), bad_request_id()},
        EnvelopeCase{"id_null", envelope("1", kType, "null", kGetState, "{}"), bad_request_id()},
        EnvelopeCase{"id_empty", envelope("1", kType, quoted(""), kGetState, "{}"),
                     bad_request_id()},
        EnvelopeCase{"id_129_bytes",
                     envelope("1", kType, quoted(std::string(129, 'x')), kGetState, "{}"),
                     bad_request_id()},
        EnvelopeCase{"id_128_bytes",
                     envelope("1", kType, quoted(std::string(128, 'x')), kGetState, "{}"),
                     idle(quoted(std::string(128, 'x')))},
        // Lengths are of the decoded UTF-8: 64 two-byte letters fit, an escape counts as what
        // it stands for, 33 four-byte characters do not fit.
        EnvelopeCase{"id_128_bytes_of_utf8",
                     envelope("1", kType, quoted([] {
                                std::string s;
                                for (int i = 0; i < 64; ++i) s += "\xC3\xA9";
                                return s;
                              }()),
                              kGetState, "{}"),
                     idle(quoted([] {
                       std::string s;
                       for (int i = 0; i < 64; ++i) s += "\xC3\xA9";
                       return s;
                     }()))},
        EnvelopeCase{"id_escapes_count_decoded",
                     envelope("1", kType, quoted([] {
                                std::string s = "x";
                                for (int i = 0; i < 64; ++i) s += "\\u00e9";
                                return s;
                              }()),
                              kGetState, "{}"),
                     bad_request_id()},
        EnvelopeCase{"id_132_bytes_in_33_characters",
                     envelope("1", kType, quoted([] {
                                std::string s;
                                for (int i = 0; i < 33; ++i) s += "\xF0\x9F\x8E\xB5";
                                return s;
                              }()),
                              kGetState, "{}"),
                     bad_request_id()},
        // 6: command
        EnvelopeCase{"command_missing", envelope("1", kType, kId, "", "{}"), bad_command(kId)},
        EnvelopeCase{"command_number", envelope("1", kType, kId, "5", "{}"), bad_command(kId)},
        EnvelopeCase{"command_empty", envelope("1", kType, kId, quoted(""), "{}"),
                     bad_command(kId)},
        EnvelopeCase{"command_65_bytes",
                     envelope("1", kType, kId, quoted(std::string(65, 'c')), "{}"),
                     bad_command(kId)},
        EnvelopeCase{
            "command_64_bytes_is_looked_up",
            envelope("1", kType, kId, quoted(std::string(64, 'c')), "{}"),
            error_line(kId, "unknown_command", kProtocol, "The command is not supported.")},
        EnvelopeCase{"command_checked_before_payload", envelope("1", kType, kId, "[]", "[]"),
                     bad_command(kId)},
        // 7: payload
        EnvelopeCase{"payload_missing", envelope("1", kType, kId, kGetState, ""), bad_payload(kId)},
        EnvelopeCase{"payload_array", envelope("1", kType, kId, kGetState, "[]"), bad_payload(kId)},
        EnvelopeCase{"payload_null", envelope("1", kType, kId, kGetState, "null"),
                     bad_payload(kId)},
        EnvelopeCase{"payload_string", envelope("1", kType, kId, kGetState, quoted("{}")),
                     bad_payload(kId)},
        // Passing every check
        EnvelopeCase{"other_members_ignored",
                     R"({"extra":{"deep":[1,2]},"version":1,"type":"command","requestId":"r1",)"
                     R"("command":"getState","payload":{},"zzz":null})",
                     idle(kId)},
        EnvelopeCase{"crlf_line", envelope("1", kType, kId, kGetState, "{}") + "\r", idle(kId)},
        EnvelopeCase{"repeated_member_keeps_last",
                     R"({"version":2,"type":"command","requestId":"r0","command":"getState",)"
                     R"("payload":[],"version":1,"requestId":"r1","payload":{}})",
                     idle(kId)}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace kestrune::testing
