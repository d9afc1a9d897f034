#pragma once
// The records that leave discovery: one admitted receiver, the interface warning of a scan and
// the scan result, with their JSON forms and the comparison that decides whether a published
// device has changed.

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kestrune::discovery {

inline constexpr std::string_view kInterfaceFailedCode = "discovery_interface_failed";

struct DiscoveredDevice {
  std::string id;                          // "dev_" and 64 lower-case hexadecimal digits
  std::string displayName;                 // 1 to 128 bytes, or "HomePod"
  std::string roomName;                    // 1 to 128 bytes; the display name when none is known
  std::string model;                       // 14 to 64 bytes, starting "AudioAccessory"
  std::vector<std::string> addresses;      // 1 to 16 dotted-decimal texts, ascending, unique
  std::uint16_t port = 0;                  // never 0
  std::optional<std::string> featuresHex;  // "0x" and 1 to 16 lower-case hexadecimal digits
  friend bool operator==(const DiscoveredDevice&, const DiscoveredDevice&) = default;
};

struct DiscoveryWarning {
  std::string code;  // always kInterfaceFailedCode
  std::uint32_t occurrences = 0;
  friend bool operator==(const DiscoveryWarning&, const DiscoveryWarning&) = default;
};

struct ScanResult {
  std::vector<DiscoveredDevice> devices;
  std::vector<DiscoveryWarning> warnings;  // empty, or one entry
  bool complete = true;
  friend bool operator==(const ScanResult&, const ScanResult&) = default;
};

// Stable id to device: what the host was last told about.
using PublishedView = std::unordered_map<std::string, DiscoveredDevice>;
using StableIdSet = std::set<std::string>;

// {"id", "displayName", "roomName", "model", "addresses", "port", "featuresHex" (null when
// absent)}; every key always present.
nlohmann::json device_to_json(const DiscoveredDevice& device);
// {"code", "occurrences"}.
nlohmann::json discovery_warning_to_json(const DiscoveryWarning& warning);
// {"complete", "devices" in list order, "warnings"}.
nlohmann::json scan_result_to_json(const ScanResult& result);

// True when the published view is empty, lacks the id, or holds a device under it that differs
// in any field.
bool device_changed(const PublishedView& published, const std::string& id,
                    const DiscoveredDevice& device);

// Keeps, in order, the devices whose id is in known.
void retain_known_devices(std::vector<DiscoveredDevice>& devices, const StableIdSet& known);

}  // namespace kestrune::discovery
