#pragma once
// The host's view of a SessionError: {code, stage, retryable, safeMessage}. Some codes always show
// the same stage (session_busy at acquire_lease, record_rejected at record, cancelled at
// shutdown), and only network_error, setup_failed, control_poisoned, capture_failed and
// stream_failed pass their retryable flag on; every other code shows false.

#include <string_view>

#include <nlohmann/json.hpp>

#include "engine/engine.hpp"

namespace kestrune::shell {

// A success (which no session error response carries) is shown as internal_error.
nlohmann::json session_error_to_json(const engine::SessionError& error);

// The response envelope with ok false and the session error object as `error`.
nlohmann::json build_session_error_response(std::string_view requestId,
                                            const engine::SessionError& error);

}  // namespace kestrune::shell
