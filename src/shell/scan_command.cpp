#include "shell/scan_command.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "shell/commands.hpp"
#include "support/utf8.hpp"

namespace kestrune::shell {
namespace {

constexpr std::uint32_t kDefaultScanMs = 3000;
constexpr std::uint32_t kMinScanMs = 100;
constexpr std::uint32_t kMaxScanMs = 5000;

bool device_texts_are_utf8(const discovery::DiscoveredDevice& device) {
  using support::is_valid_utf8;
  return is_valid_utf8(device.id) && is_valid_utf8(device.displayName) &&
         is_valid_utf8(device.roomName) && is_valid_utf8(device.model) &&
         std::all_of(device.addresses.begin(), device.addresses.end(),
                     [](const std::string& address) { return is_valid_utf8(address); }) &&
         (!device.featuresHex || is_valid_utf8(*device.featuresHex));
}

}  // namespace

std::expected<std::chrono::milliseconds, ProtocolError> scan_time_from_payload(
    const ScanPayload& payload) {
  const std::uint32_t scan_ms = payload.timeoutMs.value_or(kDefaultScanMs);
  if (scan_ms < kMinScanMs || scan_ms > kMaxScanMs) {
    return std::unexpected(protocol_errors::kInvalidDiscoveryTimeout);
  }
  return std::chrono::milliseconds(scan_ms);
}

std::optional<nlohmann::json> scan_result_for_host(const discovery::ScanResult& result) {
  const bool utf8 =
      std::all_of(result.devices.begin(), result.devices.end(), device_texts_are_utf8) &&
      std::all_of(result.warnings.begin(), result.warnings.end(),
                  [](const discovery::DiscoveryWarning& warning) {
                    return support::is_valid_utf8(warning.code);
                  });
  if (!utf8) return std::nullopt;
  return discovery::scan_result_to_json(result);
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
  const auto reply = discovery::request_scan(context.discovery, *scan_time);
  if (!reply) {
    respond_error(context, envelope.requestId, protocol_errors::kDiscoveryIncomplete);
    return DispatchOutcome::keep_running;
  }
  auto result = scan_result_for_host(*reply);
  if (!result) {
    respond_error(context, envelope.requestId, protocol_errors::kDiscoveryResultUnusable);
    return DispatchOutcome::keep_running;
  }
  respond_success(context, envelope.requestId, std::move(*result));
  return DispatchOutcome::keep_running;
}

}  // namespace kestrune::shell
