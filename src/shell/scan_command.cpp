#include "shell/scan_command.hpp"

#include <utility>

#include "shell/commands.hpp"

namespace kestrune::shell {
namespace {

constexpr std::uint32_t kDefaultScanMs = 3000;
constexpr std::uint32_t kMinScanMs = 100;
constexpr std::uint32_t kMaxScanMs = 5000;

}  // namespace

std::expected<std::chrono::milliseconds, ProtocolError> scan_time_from_payload(
    const ScanPayload& payload) {
  const std::uint32_t scan_ms = payload.timeoutMs.value_or(kDefaultScanMs);
  if (scan_ms < kMinScanMs || scan_ms > kMaxScanMs) {
    return std::unexpected(protocol_errors::kInvalidDiscoveryTimeout);
  }
  return std::chrono::milliseconds(scan_ms);
}

DispatchOutcome run_scan(const CommandEnvelope& envelope, ShellContext& context) {
  const auto payload = decode_scan_payload(envelope.payload);
  if (!payload) {
    respond_error(context, envelope.requestId, payload.error());
    return DispatchOutcome::keep_running;
  }
  const auto scan_time = scan_time_from_payload(*payload);
  if (!scan_time) {
    respond_error(context, envelope.requestId, scan_time.error());
    return DispatchOutcome::keep_running;
  }
  auto reply = discovery::request_scan(context.discovery, *scan_time);
  if (!reply) {
    respond_error(context, envelope.requestId, protocol_errors::kDiscoveryIncomplete);
    return DispatchOutcome::keep_running;
  }
  respond_success(context, envelope.requestId, std::move(*reply));
  return DispatchOutcome::keep_running;
}

}  // namespace kestrune::shell
