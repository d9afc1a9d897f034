#pragma once
// The device view computed the slow, literal way, for the view tests and the view fuzz target:
// every service instance scans the whole records map once for its TXT records and once for its
// SRV records, and once more per SRV target for the A records, keeping every address until
// admission sorts, dedupes and cuts them. build_device_view groups the cache first and bounds the
// work per device; on the same cache (and so the same iteration order) both must agree exactly.
// The small helpers (identity, names, features, stable id, address rules) are the production ones,
// tested on their own.

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "discovery/address_rules.hpp"
#include "discovery/device_identity.hpp"
#include "discovery/device_view.hpp"
#include "discovery/instance_names.hpp"
#include "discovery/txt_text.hpp"

namespace kestrune::discovery {

inline DeviceView literal_device_view(const DiscoveryCache& cache) {
  struct Builder {
    std::vector<platform::IpAddress> addresses;
    std::optional<std::string> display_name, room_name, model, features_hex;
    std::optional<OwnerTime> airplay_expiry;
    RecordKeySet supporting_keys;
    std::optional<std::uint16_t> port;
    bool seen_through_airplay = false;
  };
  const auto take_earlier = [](std::optional<OwnerTime>& slot, OwnerTime time) {
    if (!slot || time < *slot) slot = time;
  };
  const auto selectable = [&](const CacheEntry& entry, const platform::IpAddress& address) {
    if (is_unusable_address(address)) return false;
    if (!entry.receiving_interface || !cache.interfaces) return true;
    for (const platform::Ipv4InterfaceAddress& listed : *cache.interfaces) {
      if (listed.address == entry.receiving_interface->address) {
        return !is_subnet_broadcast(listed, address);
      }
    }
    return false;
  };
  const auto value_of = [](const TxtEntries& txt, const char* key) -> const std::string* {
    const auto found = txt.find(key);
    return found == txt.end() ? nullptr : &found->second;
  };

  std::map<std::string, Builder> builders;
  for (const auto& [ptr_key, ptr_entry] : cache.records) {
    if (ptr_key.type != kTypePtr) continue;
    const bool airplay = ptr_key.owner_name == kAirplayService;
    if (!airplay && ptr_key.owner_name != kRaopService) continue;
    const ServiceKind service = airplay ? ServiceKind::airplay : ServiceKind::raop;
    const auto& ptr = std::get<PtrRecordData>(ptr_entry.record.data);

    TxtEntries txt;
    std::optional<OwnerTime> txt_expiry;
    std::vector<RecordKey> txt_keys;
    for (const auto& [key, entry] : cache.records) {
      if (key.type != kTypeTxt || key.owner_name != ptr.target) continue;
      for (const auto& [name, value] : std::get<TxtRecordData>(entry.record.data).entries) {
        txt[name] = value;
      }
      take_earlier(txt_expiry, entry.expiry);
      txt_keys.push_back(key);
    }

    const auto identity = instance_identity(value_of(txt, "deviceid"), service, ptr.target);
    if (!identity) continue;
    Builder& builder = builders[*identity];
    if (airplay) {
      builder.seen_through_airplay = true;
      take_earlier(builder.airplay_expiry, ptr_entry.expiry);
      builder.supporting_keys.insert(ptr_key);
      if (txt_expiry) {
        take_earlier(builder.airplay_expiry, *txt_expiry);
        builder.supporting_keys.insert(txt_keys.begin(), txt_keys.end());
      }
    }
    if (airplay || !builder.display_name) {
      builder.display_name =
          instance_display_name(value_of(txt, "name"), service, ptr.target_as_received);
    }
    const std::string* room = value_of(txt, "roomname");
    if (room == nullptr) room = value_of(txt, "room");
    if (room != nullptr) {
      if (auto checked = sanitize_txt_text(*room, kMaxNameBytes)) builder.room_name = checked;
    }
    if (const std::string* model = value_of(txt, "model")) {
      if (auto checked = sanitize_txt_text(*model, kMaxModelBytes)) builder.model = checked;
    }
    if (const std::string* features = value_of(txt, "features")) {
      if (auto checked = normalize_features_hex(*features)) builder.features_hex = checked;
    }

    for (const auto& [srv_key, srv_entry] : cache.records) {
      if (srv_key.type != kTypeSrv || srv_key.owner_name != ptr.target) continue;
      const auto& srv = std::get<SrvRecordData>(srv_entry.record.data);
      if (airplay) {
        take_earlier(builder.airplay_expiry, srv_entry.expiry);
        builder.supporting_keys.insert(srv_key);
        builder.port = srv.port;
      } else if (!builder.port) {
        builder.port = srv.port;
      }
      for (const auto& [a_key, a_entry] : cache.records) {
        if (a_key.type != kTypeA || a_key.owner_name != srv.target) continue;
        const platform::IpAddress address = std::get<ARecordData>(a_entry.record.data).address;
        if (!selectable(a_entry, address)) continue;
        builder.addresses.push_back(address);
        if (airplay) {
          take_earlier(builder.airplay_expiry, a_entry.expiry);
          builder.supporting_keys.insert(a_key);
        }
      }
    }
  }

  DeviceView view;
  for (auto& [identity, builder] : builders) {
    if (view.size() >= kMaxViewDevices) break;
    if (!builder.seen_through_airplay) continue;
    if (!builder.model || builder.model->size() < kModelPrefix.size() ||
        builder.model->substr(0, kModelPrefix.size()) != kModelPrefix) {
      continue;
    }
    if (!builder.display_name || !builder.port || *builder.port == 0) continue;
    std::vector<platform::IpAddress>& addresses = builder.addresses;
    std::sort(addresses.begin(), addresses.end(),
              [](const platform::IpAddress& a, const platform::IpAddress& b) {
                return a.v4_value() < b.v4_value();
              });
    addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
    std::erase_if(addresses, is_unusable_address);
    if (addresses.size() > kMaxDeviceAddresses) addresses.resize(kMaxDeviceAddresses);
    if (addresses.empty() || !builder.airplay_expiry) continue;

    ViewEntry entry;
    entry.device.id = stable_device_id(identity);
    entry.device.displayName = *builder.display_name;
    entry.device.roomName = builder.room_name.value_or(*builder.display_name);
    entry.device.model = *builder.model;
    for (const platform::IpAddress& address : addresses) {
      entry.device.addresses.push_back(address.to_string());
    }
    entry.device.port = *builder.port;
    entry.device.featuresHex = builder.features_hex;
    entry.supporting_keys = std::move(builder.supporting_keys);
    entry.airplay_expiry = *builder.airplay_expiry;
    view.emplace(entry.device.id, std::move(entry));
  }
  return view;
}

// Same ids, and under each the same device, supporting keys and airplay expiry.
inline bool same_device_view(const DeviceView& a, const DeviceView& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [id, entry] : a) {
    const auto other = b.find(id);
    if (other == b.end() || other->second.device != entry.device ||
        other->second.supporting_keys != entry.supporting_keys ||
        other->second.airplay_expiry != entry.airplay_expiry) {
      return false;
    }
  }
  return true;
}

}  // namespace kestrune::discovery
