#include "discovery/discovered_device.hpp"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace kestrune::discovery {

nlohmann::json device_to_json(const DiscoveredDevice& device) {
  nlohmann::json object = nlohmann::json::object();
  object["id"] = device.id;
  object["displayName"] = device.displayName;
  object["roomName"] = device.roomName;
  object["model"] = device.model;
  object["addresses"] = device.addresses;
  object["port"] = device.port;
  object["featuresHex"] =
      device.featuresHex ? nlohmann::json(*device.featuresHex) : nlohmann::json(nullptr);
  return object;
}

nlohmann::json discovery_warning_to_json(const DiscoveryWarning& warning) {
  return nlohmann::json{{"code", warning.code}, {"occurrences", warning.occurrences}};
}

nlohmann::json scan_result_to_json(const ScanResult& result) {
  nlohmann::json devices = nlohmann::json::array();
  for (const DiscoveredDevice& device : result.devices) devices.push_back(device_to_json(device));
  nlohmann::json warnings = nlohmann::json::array();
  for (const DiscoveryWarning& warning : result.warnings) {
    warnings.push_back(discovery_warning_to_json(warning));
  }
  nlohmann::json object = nlohmann::json::object();
  object["complete"] = result.complete;
  object["devices"] = std::move(devices);
  object["warnings"] = std::move(warnings);
  return object;
}

bool device_changed(const PublishedView& published, const std::string& id,
                    const DiscoveredDevice& device) {
  const auto found = published.find(id);
  return found == published.end() || found->second != device;
}

void retain_known_devices(std::vector<DiscoveredDevice>& devices, const StableIdSet& known) {
  std::erase_if(devices,
                [&](const DiscoveredDevice& device) { return !known.contains(device.id); });
}

}  // namespace kestrune::discovery
