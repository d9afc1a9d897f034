#include "discovery/device_view.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "discovery/device_identity.hpp"
#include "discovery/instance_names.hpp"
#include "discovery/ipv4_address.hpp"
#include "discovery/keyed_hash.hpp"
#include "discovery/txt_text.hpp"

namespace kestrune::discovery {
namespace {

struct DeviceBuilder {
  std::vector<Ipv4Address> addresses;
  std::optional<std::string> display_name;
  std::optional<std::string> room_name;
  std::optional<std::string> model;
  std::optional<std::string> features_hex;
  std::optional<OwnerTime> airplay_expiry;
  RecordKeySet supporting_keys;
  std::optional<std::uint16_t> port;
  bool seen_through_airplay = false;
};

// The values of the TXT keys the view reads, merged over every TXT record of one instance: a key
// met in several records takes the value of the record met last. The values point into the cache.
struct MergedTxt {
  enum Key : std::size_t { deviceid, name, roomname, room, model, features, count };
  static constexpr std::array<std::string_view, count> kNames = {"deviceid", "name",  "roomname",
                                                                 "room",     "model", "features"};
  std::array<const std::string*, count> values{};
  std::optional<OwnerTime> earliest_expiry;
  std::vector<const RecordKey*> keys;

  const std::string* get(Key key) const { return values[key]; }
  void merge(const TxtEntries& entries) {
    for (std::size_t i = 0; i < count; ++i) {
      const auto found = entries.find(kNames[i]);
      if (found != entries.end()) values[i] = &found->second;
    }
  }
};

using CacheItem = CacheRecords::value_type;

// The TXT, SRV and A records of one owner name, in the cache's iteration order. Grouping them
// once per build makes the view's lookups proportional to what an instance has instead of to the
// whole cache, and keeps the "met last" order of the plain scan.
struct OwnerRecords {
  std::vector<const CacheItem*> txt;
  std::vector<const CacheItem*> srv;
  std::vector<const CacheItem*> a;
};
// Owner names come from the network, so the grouping is keyed like every other discovery map.
struct OwnerNameHash {
  std::size_t operator()(std::string_view owner) const {
    SipHasher hasher(process_hash_key());
    hasher.update(owner);
    return static_cast<std::size_t>(hasher.finish());
  }
};
using RecordsByOwner = std::unordered_map<std::string_view, OwnerRecords, OwnerNameHash>;

RecordsByOwner group_by_owner(const CacheRecords& records) {
  RecordsByOwner groups;
  for (const CacheItem& item : records) {
    const std::uint16_t type = item.first.type;
    if (type != kTypeTxt && type != kTypeSrv && type != kTypeA) continue;
    OwnerRecords& group = groups[item.first.owner_name];
    (type == kTypeTxt ? group.txt : type == kTypeSrv ? group.srv : group.a).push_back(&item);
  }
  return groups;
}

const OwnerRecords* records_of(const RecordsByOwner& groups, std::string_view owner) {
  const auto found = groups.find(owner);
  return found == groups.end() ? nullptr : &found->second;
}

void take_earlier(std::optional<OwnerTime>& slot, OwnerTime time) {
  if (!slot || time < *slot) slot = time;
}

MergedTxt merge_txt_records(const OwnerRecords* owner) {
  MergedTxt merged;
  if (owner == nullptr) return merged;
  for (const CacheItem* item : owner->txt) {
    const auto& [key, entry] = *item;
    const auto* txt = std::get_if<TxtRecordData>(&entry.record.data);
    if (txt == nullptr) continue;
    merged.merge(txt->entries);
    take_earlier(merged.earliest_expiry, entry.expiry);
    merged.keys.push_back(&key);
  }
  return merged;
}

// Whether an address record may stand for a device: usable, and when both the record's receiving
// interface and the cache's interface list are known, received on a listed interface and not
// that interface's subnet broadcast.
bool is_selectable_address(const DiscoveryCache& cache, const CacheEntry& entry,
                           const Ipv4Address& address) {
  if (is_unusable_address(address)) return false;
  if (!entry.receiving_interface || !cache.interfaces) return true;
  const auto listed = std::find_if(cache.interfaces->begin(), cache.interfaces->end(),
                                   [&](const InterfaceRecord& interface) {
                                     return interface.address == entry.receiving_interface->address;
                                   });
  return listed != cache.interfaces->end() && !is_subnet_broadcast(*listed, address);
}

void add_srv_records(const DiscoveryCache& cache, const RecordsByOwner& groups,
                     ServiceKind service, const OwnerRecords* owner, DeviceBuilder& builder) {
  if (owner == nullptr) return;
  for (const CacheItem* srv_item : owner->srv) {
    const auto& [srv_key, srv_entry] = *srv_item;
    const auto* srv = std::get_if<SrvRecordData>(&srv_entry.record.data);
    if (srv == nullptr) continue;
    if (service == ServiceKind::airplay) {
      take_earlier(builder.airplay_expiry, srv_entry.expiry);
      builder.supporting_keys.insert(srv_key);
      builder.port = srv->port;
    } else if (!builder.port) {
      builder.port = srv->port;
    }
    const OwnerRecords* target = records_of(groups, srv->target);
    if (target == nullptr) continue;
    for (const CacheItem* a_item : target->a) {
      const auto& [a_key, a_entry] = *a_item;
      const auto* a = std::get_if<ARecordData>(&a_entry.record.data);
      if (a == nullptr || !is_selectable_address(cache, a_entry, a->address)) continue;
      builder.addresses.push_back(a->address);
      if (service == ServiceKind::airplay) {
        take_earlier(builder.airplay_expiry, a_entry.expiry);
        builder.supporting_keys.insert(a_key);
      }
    }
  }
}

void add_instance(const DiscoveryCache& cache, const RecordsByOwner& groups,
                  const RecordKey& ptr_key, const CacheEntry& ptr_entry, ServiceKind service,
                  const PtrRecordData& ptr, std::map<std::string, DeviceBuilder>& builders) {
  const OwnerRecords* instance = records_of(groups, ptr.target);
  const MergedTxt txt = merge_txt_records(instance);
  auto identity = instance_identity(txt.get(MergedTxt::deviceid), service, ptr.target);
  if (!identity) return;
  DeviceBuilder& builder = builders[*identity];

  if (service == ServiceKind::airplay) {
    builder.seen_through_airplay = true;
    take_earlier(builder.airplay_expiry, ptr_entry.expiry);
    builder.supporting_keys.insert(ptr_key);
    if (txt.earliest_expiry) {
      take_earlier(builder.airplay_expiry, *txt.earliest_expiry);
      for (const RecordKey* key : txt.keys) builder.supporting_keys.insert(*key);
    }
  }

  if (service == ServiceKind::airplay || !builder.display_name) {
    builder.display_name =
        instance_display_name(txt.get(MergedTxt::name), service, ptr.target_as_received);
  }
  const std::string* room = txt.get(MergedTxt::roomname);
  if (room == nullptr) room = txt.get(MergedTxt::room);
  if (room != nullptr) {
    if (auto sanitized = sanitize_txt_text(*room, kMaxNameBytes)) builder.room_name = *sanitized;
  }
  if (const std::string* model = txt.get(MergedTxt::model)) {
    if (auto sanitized = sanitize_txt_text(*model, kMaxModelBytes)) builder.model = *sanitized;
  }
  if (const std::string* features = txt.get(MergedTxt::features)) {
    if (auto normalised = normalize_features_hex(*features)) builder.features_hex = *normalised;
  }

  add_srv_records(cache, groups, service, instance, builder);
}

// The addresses a device is listed with: ascending, unique, usable, at most 16.
std::vector<Ipv4Address> listed_addresses(std::vector<Ipv4Address> addresses) {
  std::erase_if(addresses, is_unusable_address);
  std::sort(addresses.begin(), addresses.end(), [](const Ipv4Address& a, const Ipv4Address& b) {
    return ipv4_value(a) < ipv4_value(b);
  });
  addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
  if (addresses.size() > kMaxDeviceAddresses) addresses.resize(kMaxDeviceAddresses);
  return addresses;
}

bool is_admitted_model(const std::optional<std::string>& model) {
  return model && model->starts_with(kModelPrefix);
}

std::optional<ViewEntry> admit(const std::string& identity, DeviceBuilder& builder) {
  if (!builder.seen_through_airplay) return std::nullopt;
  if (!is_admitted_model(builder.model)) return std::nullopt;
  if (!builder.display_name) return std::nullopt;
  if (!builder.port || *builder.port == 0) return std::nullopt;
  const std::vector<Ipv4Address> addresses = listed_addresses(std::move(builder.addresses));
  if (addresses.empty()) return std::nullopt;
  if (!builder.airplay_expiry) return std::nullopt;

  ViewEntry entry;
  DiscoveredDevice& device = entry.device;
  device.id = stable_device_id(identity);
  device.displayName = std::move(*builder.display_name);
  device.roomName = builder.room_name ? std::move(*builder.room_name) : device.displayName;
  device.model = std::move(*builder.model);
  device.addresses.reserve(addresses.size());
  for (const Ipv4Address& address : addresses) device.addresses.push_back(ipv4_to_text(address));
  device.port = *builder.port;
  device.featuresHex = std::move(builder.features_hex);
  entry.supporting_keys = std::move(builder.supporting_keys);
  entry.airplay_expiry = *builder.airplay_expiry;
  return entry;
}

}  // namespace

DeviceView build_device_view(const DiscoveryCache& cache) {
  // Keyed by identity, so that which devices the 128-device cap keeps does not depend on hashing.
  std::map<std::string, DeviceBuilder> builders;
  const RecordsByOwner groups = group_by_owner(cache.records);
  for (const auto& [key, entry] : cache.records) {
    if (key.type != kTypePtr) continue;
    const auto* ptr = std::get_if<PtrRecordData>(&entry.record.data);
    if (ptr == nullptr) continue;
    if (key.owner_name == kAirplayService) {
      add_instance(cache, groups, key, entry, ServiceKind::airplay, *ptr, builders);
    } else if (key.owner_name == kRaopService) {
      add_instance(cache, groups, key, entry, ServiceKind::raop, *ptr, builders);
    }
  }

  DeviceView view;
  for (auto& [identity, builder] : builders) {
    if (view.size() >= kMaxViewDevices) break;
    auto entry = admit(identity, builder);
    if (!entry) continue;
    std::string id = entry->device.id;
    view.emplace(std::move(id), std::move(*entry));
  }
  return view;
}

PublishedView devices_of_view(const DeviceView& view) {
  PublishedView devices;
  devices.reserve(view.size());
  for (const auto& [id, entry] : view) devices.emplace(id, entry.device);
  return devices;
}

}  // namespace kestrune::discovery
