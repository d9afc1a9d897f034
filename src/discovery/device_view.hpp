#pragma once
// The device view: the receivers that the records of one cache describe, one per device id,
// merged from its "_airplay._tcp.local" and "_raop._tcp.local" instances and admitted only when
// it is a reachable receiver of the "AudioAccessory" family. Rebuilt from scratch on every use
// (nothing is kept between builds; each build groups the cache by owner name once) and reads no
// clock.

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

#include "discovery/discovered_device.hpp"
#include "discovery/discovery_cache.hpp"
#include "discovery/owner_time.hpp"
#include "discovery/record_key.hpp"

namespace kestrune::discovery {

inline constexpr std::string_view kAirplayService = "_airplay._tcp.local";
inline constexpr std::string_view kRaopService = "_raop._tcp.local";
inline constexpr std::size_t kMaxViewDevices = 128;
inline constexpr std::size_t kMaxDeviceAddresses = 16;
inline constexpr std::size_t kMaxNameBytes = 128;  // display name and room name
inline constexpr std::size_t kMaxModelBytes = 64;
inline constexpr std::string_view kModelPrefix = "AudioAccessory";
inline constexpr std::string_view kFallbackDisplayName = "HomePod";

struct ViewEntry {
  DiscoveredDevice device;
  // The records behind the device's "_airplay._tcp.local" instance: its PTR records, their TXT
  // and SRV records and the A records of the SRV targets.
  RecordKeySet supporting_keys;
  // The earliest expiry among those records.
  OwnerTime airplay_expiry;
};

// Stable id to entry; at most 128 entries.
using DeviceView = std::unordered_map<std::string, ViewEntry>;

// Reads the cache and changes nothing. Which instance wins where instances of one device
// disagree follows the cache's iteration order, which is unspecified. When more than 128 devices
// qualify, those in `published_first` are kept first, then the rest in order of device identity.
DeviceView build_device_view(const DiscoveryCache& cache, const PublishedView& published_first);
// The same with the cache's own published view first.
DeviceView build_device_view(const DiscoveryCache& cache);

// The devices of a view, keyed as the view is: what a published view records.
PublishedView devices_of_view(const DeviceView& view);

}  // namespace kestrune::discovery
