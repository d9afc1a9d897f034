#pragma once
// Errors of the host protocol itself: four fixed values each, answered as the `error` object of a
// response. The host sees only these; why a line failed is never passed on.

#include <string_view>

#include <nlohmann/json.hpp>

namespace kestrune::shell {

struct ProtocolError {
  std::string_view code;
  std::string_view stage;
  std::string_view safeMessage;
  bool retryable;

  friend bool operator==(const ProtocolError&, const ProtocolError&) = default;
};

namespace protocol_errors {

inline constexpr ProtocolError kInputTooLarge{"input_too_large", "protocol",
                                              "The input line exceeds the protocol limit.", false};
inline constexpr ProtocolError kMalformedJson{"malformed_json", "protocol",
                                              "The input line is not valid JSON.", false};
inline constexpr ProtocolError kInvalidEnvelope{"invalid_request", "protocol",
                                                "The command envelope is invalid.", false};
inline constexpr ProtocolError kUnsupportedVersion{"unsupported_version", "protocol",
                                                   "The protocol version is not supported.", false};
inline constexpr ProtocolError kInvalidType{"invalid_type", "protocol",
                                            "The input line must be a command.", false};
inline constexpr ProtocolError kInvalidRequestId{"invalid_request", "protocol",
                                                 "The requestId is missing or invalid.", false};
inline constexpr ProtocolError kInvalidCommandName{
    "invalid_request", "protocol", "The command name is missing or invalid.", false};
inline constexpr ProtocolError kPayloadNotObject{"invalid_request", "protocol",
                                                 "The command payload must be an object.", false};
inline constexpr ProtocolError kInvalidPayload{"invalid_request", "protocol",
                                               "The command payload is invalid.", false};
inline constexpr ProtocolError kUnknownCommand{"unknown_command", "protocol",
                                               "The command is not supported.", false};
inline constexpr ProtocolError kNotAvailable{
    "not_available", "capability", "This capability is not available in kestrune protocol v1.",
    false};
inline constexpr ProtocolError kNoActiveSession{"no_active_session", "session",
                                                "There is no active AirPlay session.", false};
inline constexpr ProtocolError kInvalidDiscoveryTimeout{"invalid_request", "discovery",
                                                        "The discovery timeout is invalid.", false};
inline constexpr ProtocolError kDiscoveryIncomplete{"kestrune_internal", "discovery",
                                                    "Device discovery could not complete.", true};
inline constexpr ProtocolError kDiscoveryResultUnusable{
    "kestrune_internal", "discovery", "Device discovery could not complete.", false};
inline constexpr ProtocolError kEventPumpFailed{
    "kestrune_internal", "internal", "The kestrune could not start the event pump.", false};

}  // namespace protocol_errors

// {code, stage, retryable, safeMessage}.
nlohmann::json protocol_error_to_json(const ProtocolError& error);

}  // namespace kestrune::shell
