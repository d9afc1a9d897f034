#include "discovery/device_view.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "discovery/address_rules.hpp"
#include "discovery/device_identity.hpp"
#include "discovery/instance_names.hpp"
#include "discovery/keyed_hash.hpp"
#include "discovery/txt_text.hpp"
#include "platform/ip_address.hpp"

namespace kestrune::discovery {
namespace {

// The lowest distinct addresses offered to one device, ascending, at most 16: all that its
// admission and its list ever read, so a host with hundreds of address records named by many
// SRV records costs 16 slots instead of one entry per record and walk.
class LowestAddresses {
 public:
  void add(const platform::IpAddress& address) {
    const std::uint32_t value = address.v4_value();
    const auto end = values_.begin() + static_cast<std::ptrdiff_t>(size_);
    const auto at = std::lower_bound(values_.begin(), end, value);
    if (at != end && *at == value) return;
    if (size_ == values_.size()) {
      if (at == end) return;
      std::move_backward(at, end - 1, end);
    } else {
      std::move_backward(at, end, end + 1);
      ++size_;
    }
    *at = value;
  }
  std::span<const std::uint32_t> values() const { return std::span(values_).first(size_); }

 private:
  std::array<std::uint32_t, kMaxDeviceAddresses> values_{};
  std::size_t size_ = 0;
};

struct OwnerRecords;

struct DeviceBuilder {
  LowestAddresses addresses;
  std::optional<std::string> display_name;
  std::optional<std::string> room_name;
  std::optional<std::string> model;
  std::optional<std::string> features_hex;
  std::optional<OwnerTime> airplay_expiry;
  RecordKeySet supporting_keys;
  std::optional<std::uint16_t> port;
  bool seen_through_airplay = false;
  // The SRV targets whose address records this builder has taken, true once taken for an
  // "_airplay._tcp.local" instance (which also takes their expiry and keys). Taking a target
  // again adds nothing, so each is walked at most once per role however many SRV records name it.
  std::unordered_map<const OwnerRecords*, bool> hosts_taken;
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
                           const platform::IpAddress& address) {
  if (is_unusable_address(address)) return false;
  if (!entry.receiving_interface || !cache.interfaces) return true;
  const auto listed = std::find_if(cache.interfaces->begin(), cache.interfaces->end(),
                                   [&](const platform::Ipv4InterfaceAddress& interface) {
                                     return interface.address == entry.receiving_interface->address;
                                   });
  return listed != cache.interfaces->end() && !is_subnet_broadcast(*listed, address);
}

void add_srv_records(const DiscoveryCache& cache, const RecordsByOwner& groups, ServiceKind service,
                     const OwnerRecords* owner, DeviceBuilder& builder) {
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
    const bool airplay = service == ServiceKind::airplay;
    const auto [taken, first_time] = builder.hosts_taken.try_emplace(target, airplay);
    if (!first_time) {
      if (taken->second || !airplay) continue;
      taken->second = true;
    }
    for (const CacheItem* a_item : target->a) {
      const auto& [a_key, a_entry] = *a_item;
      const auto* a = std::get_if<ARecordData>(&a_entry.record.data);
      if (a == nullptr || !is_selectable_address(cache, a_entry, a->address)) continue;
      builder.addresses.add(a->address);
      if (airplay) {
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

bool is_admitted_model(const std::optional<std::string>& model) {
  return model && model->starts_with(kModelPrefix);
}

std::optional<ViewEntry> admit(const std::string& identity, DeviceBuilder& builder) {
  if (!builder.seen_through_airplay) return std::nullopt;
  if (!is_admitted_model(builder.model)) return std::nullopt;
  if (!builder.display_name) return std::nullopt;
  if (!builder.port || *builder.port == 0) return std::nullopt;
  // Ascending, unique and at most 16 already; only usable addresses pass the selection.
  const std::span<const std::uint32_t> addresses = builder.addresses.values();
  if (addresses.empty()) return std::nullopt;
  if (!builder.airplay_expiry) return std::nullopt;

  ViewEntry entry;
  DiscoveredDevice& device = entry.device;
  device.id = stable_device_id(identity);
  device.displayName = std::move(*builder.display_name);
  device.roomName = builder.room_name ? std::move(*builder.room_name) : device.displayName;
  device.model = std::move(*builder.model);
  device.addresses.reserve(addresses.size());
  for (const std::uint32_t address : addresses) {
    device.addresses.push_back(platform::IpAddress::v4_of_value(address).to_string());
  }
  device.port = *builder.port;
  device.featuresHex = std::move(builder.features_hex);
  entry.supporting_keys = std::move(builder.supporting_keys);
  entry.airplay_expiry = *builder.airplay_expiry;
  return entry;
}

}  // namespace

DeviceView build_device_view(const DiscoveryCache& cache) {
  return build_device_view(cache, cache.published_view);
}

DeviceView build_device_view(const DiscoveryCache& cache, const PublishedView& published_first) {
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

  // Published devices keep their place ahead of new ones, so that a flood of answers for new
  // devices cannot push out a receiver that still answers.
  std::vector<ViewEntry> published;
  std::vector<ViewEntry> fresh;
  for (auto& [identity, builder] : builders) {
    if (published.size() >= kMaxViewDevices) break;
    if (published_first.empty() && fresh.size() >= kMaxViewDevices) break;
    auto entry = admit(identity, builder);
    if (!entry) continue;
    const bool was_published = published_first.contains(entry->device.id);
    if (!was_published && fresh.size() >= kMaxViewDevices) continue;
    (was_published ? published : fresh).push_back(std::move(*entry));
  }

  DeviceView view;
  for (auto* group : {&published, &fresh}) {
    for (ViewEntry& entry : *group) {
      if (view.size() >= kMaxViewDevices) return view;
      std::string id = entry.device.id;
      view.emplace(std::move(id), std::move(entry));
    }
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
