#pragma once
// The scan command: the scan time (3000 ms when not given, otherwise 100 to 5000 ms) goes to the
// discovery owner, and the scan result it returns within that time plus 1 s is the response. The
// scan's device events are queued by discovery before it replies, so they precede the response.

#include <chrono>
#include <expected>
#include <optional>

#include <nlohmann/json.hpp>

#include "discovery/discovery.hpp"
#include "shell/payloads.hpp"
#include "shell/protocol_error.hpp"

namespace kestrune::shell {

std::expected<std::chrono::milliseconds, ProtocolError> scan_time_from_payload(
    const ScanPayload& payload);

// The result object of a scan response; nothing when a text of the result is not valid UTF-8,
// which no line to the host may carry.
std::optional<nlohmann::json> scan_result_for_host(const discovery::ScanResult& result);

}  // namespace kestrune::shell
