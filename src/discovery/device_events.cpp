#include "discovery/device_events.hpp"

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "discovery/device_view.hpp"

namespace kestrune::discovery {
namespace {

bool push_device_expired(DiscoveryOutput& output, const std::string& id, ExpiryReason reason) {
  nlohmann::json payload = nlohmann::json::object();
  payload["id"] = id;
  payload["reason"] =
      reason == ExpiryReason::renewal_miss ? kRenewalMissReason : kAuthoritativeRemovalReason;
  return output.push_event(kDeviceExpiredEvent, std::move(payload));
}

}  // namespace

bool push_device_discovered(DiscoveryOutput& output, const DiscoveredDevice& device) {
  nlohmann::json payload = nlohmann::json::object();
  payload["device"] = device_to_json(device);
  return output.push_event(kDeviceDiscoveredEvent, std::move(payload));
}

bool emit_device_events(DiscoveryCache& cache, DiscoveryOutput& output, ExpiryReason reason,
                        Announce announce) {
  DeviceView view = build_device_view(cache);
  PublishedView current = devices_of_view(view);
  for (const auto& [id, device] : cache.published_view) {
    if (!current.contains(id) && !push_device_expired(output, id, reason)) return false;
  }
  if (announce == Announce::yes) {
    for (const auto& [id, device] : current) {
      if (device_changed(cache.published_view, id, device) &&
          !push_device_discovered(output, device)) {
        return false;
      }
    }
  }
  cache.published_view = std::move(current);
  cache.held_keys.clear();
  for (auto& [id, entry] : view) {
    cache.held_keys.merge(entry.supporting_keys);
  }
  return true;
}

}  // namespace kestrune::discovery
