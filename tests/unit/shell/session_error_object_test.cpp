#include "shell/session_error_object.hpp"

#include <string>

#include <gtest/gtest.h>

#include "engine/core/session_error_testing.hpp"
#include "shell/json_line.hpp"

namespace kestrune::shell {
namespace {

using engine::SessionError;
using engine::SessionErrorKind;
using engine::SessionStage;
using nlohmann::json;

struct CodeRow {
  SessionErrorKind code;
  const char* name;
  const char* safeMessage;
  const char* forced_stage;  // nullptr: the error's own stage is shown
  bool passes_retryable;
};

// The host's table, written out as the host reads it.
const CodeRow kRows[] = {
    {SessionErrorKind::config_error, "config_error", "The session configuration is invalid.",
     nullptr, false},
    {SessionErrorKind::session_busy, "session_busy", "Another AirPlay session is active.",
     "acquire_lease", false},
    {SessionErrorKind::network_error, "network_error", "The receiver could not be reached.",
     nullptr, true},
    {SessionErrorKind::pairing_failed, "pairing_failed", "Pairing with the receiver failed.",
     nullptr, false},
    {SessionErrorKind::setup_failed, "setup_failed", "The receiver rejected session setup.",
     nullptr, true},
    {SessionErrorKind::record_rejected, "record_rejected", "The receiver rejected playback start.",
     "record", false},
    {SessionErrorKind::control_poisoned, "control_poisoned",
     "The control connection became unusable.", nullptr, true},
    {SessionErrorKind::capture_failed, "capture_failed", "System audio capture failed.", nullptr,
     true},
    {SessionErrorKind::stream_failed, "stream_failed", "Audio streaming failed.", nullptr, true},
    {SessionErrorKind::shutdown_timeout, "shutdown_timeout",
     "Session shutdown exceeded its deadline.", nullptr, false},
    {SessionErrorKind::cancelled, "cancelled", "The session was cancelled.", "shutdown", false},
    {SessionErrorKind::internal_error, "internal_error", "An internal session error occurred.",
     nullptr, false},
};

TEST(SessionErrorObject, FollowsTheTableForEveryCodeStageAndFlag) {
  const SessionStage stages[] = {SessionStage::validate_config, SessionStage::pairing,
                                 SessionStage::set_volume, SessionStage::internal};
  for (const CodeRow& row : kRows) {
    for (const SessionStage stage : stages) {
      for (const bool retryable : {false, true}) {
        SCOPED_TRACE(std::string(row.name) + " at " + std::string(engine::wire_name(stage)) +
                     (retryable ? " retryable" : ""));
        const json expected = {{"code", row.name},
                               {"stage", row.forced_stage ? std::string(row.forced_stage)
                                                          : std::string(engine::wire_name(stage))},
                               {"retryable", row.passes_retryable && retryable},
                               {"safeMessage", row.safeMessage}};
        EXPECT_EQ(session_error_to_json(SessionError{row.code, stage, retryable}), expected);
      }
    }
  }
}

TEST(SessionErrorObject, ResponseCarriesItAsItsError) {
  const json response = build_session_error_response(
      "r\"1", SessionError{SessionErrorKind::pairing_failed, SessionStage::pairing, true});
  EXPECT_EQ(
      serialize_json_line(response),
      R"({"error":{"code":"pairing_failed","retryable":false,"safeMessage":"Pairing with the receiver failed.","stage":"pairing"},"ok":false,"requestId":"r\"1","type":"response","version":1})");
}

TEST(SessionErrorObject, ValuesOutsideTheTablesStayNameable) {
  // As an unpacked value can carry: success (no message of its own) and bytes past the tables.
  EXPECT_EQ(session_error_to_json(SessionError::success())["code"], "internal_error");
  EXPECT_EQ(session_error_to_json(engine::unpack_session_error(0x01FF0Fu)),
            (json{{"code", "internal_error"},
                  {"stage", "internal"},
                  {"retryable", false},
                  {"safeMessage", "An internal session error occurred."}}));
}

}  // namespace
}  // namespace kestrune::shell
