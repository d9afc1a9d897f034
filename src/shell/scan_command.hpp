#pragma once
// The scan command's own check before it asks discovery: the scan time, 3000 ms when not given,
// must lie within 100 to 5000 ms.

#include <chrono>
#include <expected>

#include "shell/payloads.hpp"
#include "shell/protocol_error.hpp"

namespace kestrune::shell {

std::expected<std::chrono::milliseconds, ProtocolError> scan_time_from_payload(
    const ScanPayload& payload);

}  // namespace kestrune::shell
