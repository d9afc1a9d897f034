#include "shell/session_error_object.hpp"

#include <array>
#include <optional>
#include <string>

#include "shell/envelopes.hpp"

namespace kestrune::shell {
namespace {

using engine::SessionErrorKind;
using engine::SessionStage;

struct CodeRow {
  std::string_view safeMessage;
  std::optional<SessionStage> forced_stage;
  bool passes_retryable;
};

// Indexed by SessionErrorKind.
constexpr std::array<CodeRow, 12> kCodeRows{{
    {"The session configuration is invalid.", std::nullopt, false},
    {"Another AirPlay session is active.", SessionStage::acquire_lease, false},
    {"The receiver could not be reached.", std::nullopt, true},
    {"Pairing with the receiver failed.", std::nullopt, false},
    {"The receiver rejected session setup.", std::nullopt, true},
    {"The receiver rejected playback start.", SessionStage::record, false},
    {"The control connection became unusable.", std::nullopt, true},
    {"System audio capture failed.", std::nullopt, true},
    {"Audio streaming failed.", std::nullopt, true},
    {"Session shutdown exceeded its deadline.", std::nullopt, false},
    {"The session was cancelled.", SessionStage::shutdown, false},
    {"An internal session error occurred.", std::nullopt, false},
}};

SessionErrorKind shown_code(SessionErrorKind code) {
  const auto index = static_cast<std::size_t>(code);
  return index < kCodeRows.size() ? code : SessionErrorKind::internal_error;
}

}  // namespace

nlohmann::json session_error_to_json(const engine::SessionError& error) {
  const SessionErrorKind code = shown_code(error.code);
  const CodeRow& row = kCodeRows[static_cast<std::size_t>(code)];
  nlohmann::json object = nlohmann::json::object();
  object["code"] = std::string(engine::wire_name(code));
  object["stage"] = std::string(engine::wire_name(row.forced_stage.value_or(error.stage)));
  object["retryable"] = row.passes_retryable && error.retryable;
  object["safeMessage"] = std::string(row.safeMessage);
  return object;
}

nlohmann::json build_session_error_response(std::string_view requestId,
                                            const engine::SessionError& error) {
  return build_error_response(requestId, session_error_to_json(error));
}

}  // namespace kestrune::shell
