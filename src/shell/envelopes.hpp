#pragma once
// The shapes of everything written to the host: response envelopes (success and error) and event
// envelopes, all version 1.

#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

#include "shell/protocol_error.hpp"

namespace kestrune::shell {

inline constexpr int kProtocolVersion = 1;

// {version 1, type "response", requestId, ok true, result}.
nlohmann::json build_success_response(std::string_view requestId, nlohmann::json result);

// {version 1, type "response", requestId or null, ok false, error: the given error object}.
nlohmann::json build_error_response(std::optional<std::string_view> requestId,
                                    nlohmann::json error);

// build_error_response with the protocol error object.
nlohmann::json build_protocol_error_response(std::optional<std::string_view> requestId,
                                             const ProtocolError& error);

// {version 1, type "event", event, payload}.
nlohmann::json build_event(std::string_view event, nlohmann::json payload);

}  // namespace kestrune::shell
