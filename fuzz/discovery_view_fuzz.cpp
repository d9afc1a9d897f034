// A stream of datagrams through decoding, ingestion into an owner cache and a pass-local cache,
// and the device view after each one, as a browse pass runs them: nothing crashes, the cache stays
// within 2048 keys, the view within 128 devices, every admitted device keeps its promises, and
// the view is exactly what the literal scan of every instance gives on the same cache.
//
// Input: a sequence of frames, each [flags][seconds to advance][length, 2 bytes][datagram].
// flags bits 0-1 pick the receiving interface (two listed, one unlisted), bit 2 drops the
// interface list, bit 3 removes the supporting keys of one device as the owner's renewal would.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

#include "../tests/unit/discovery/discovery_test_support.hpp"
#include "../tests/unit/discovery/literal_device_view.hpp"
#include "discovery/device_identity.hpp"
#include "discovery/device_view.hpp"
#include "discovery/discovery_cache.hpp"
#include "discovery/mdns_message.hpp"

namespace {

using namespace kestrune::discovery;
namespace platform = kestrune::platform;

constexpr std::size_t kMaxFrames = 64;
constexpr std::size_t kLiteralComparisonRecords = 512;

void require(bool condition) {
  if (!condition) __builtin_trap();
}

const platform::Ipv4InterfaceAddress kInterfaces[] = {
    lan_interface({192, 168, 1, 10}, 24), lan_interface({10, 1, 0, 4}, 16),
    lan_interface({172, 16, 0, 5}, 24),  // never listed
};

void check_device(const std::string& id, const ViewEntry& entry, const DiscoveryCache& cache) {
  const DiscoveredDevice& device = entry.device;
  require(device.id == id && device.id.size() == 68 && device.id.starts_with(kStableIdPrefix));
  require(!device.displayName.empty() && device.displayName.size() <= kMaxNameBytes);
  require(!device.roomName.empty() && device.roomName.size() <= kMaxNameBytes);
  require(device.model.starts_with(kModelPrefix) && device.model.size() <= kMaxModelBytes);
  require(!device.addresses.empty() && device.addresses.size() <= kMaxDeviceAddresses);
  require(device.port != 0);
  if (device.featuresHex) {
    require(device.featuresHex->starts_with("0x") && device.featuresHex->size() >= 3 &&
            device.featuresHex->size() <= 18);
  }
  for (const RecordKey& key : entry.supporting_keys) require(cache.records.contains(key));
  const nlohmann::json json = device_to_json(device);
  require(json.size() == 7);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<platform::Ipv4InterfaceAddress> listed = {kInterfaces[0], kInterfaces[1]};
  DiscoveryCache owner;
  DiscoveryCache pass;
  owner.interfaces = listed;
  pass.interfaces = listed;
  OwnerTime now{};

  std::span<const std::uint8_t> input(data, size);
  for (std::size_t frame = 0; frame < kMaxFrames && input.size() >= 4; ++frame) {
    const std::uint8_t flags = input[0];
    now = now.plus_seconds(input[1]);
    const std::size_t length = std::min<std::size_t>(input[2] << 8 | input[3], input.size() - 4);
    const auto datagram = input.subspan(4, length);
    input = input.subspan(4 + length);

    if (flags & 4) {
      owner.interfaces.reset();
      pass.interfaces.reset();
    }
    const platform::Ipv4InterfaceAddress& receiving = kInterfaces[(flags & 3) % 3];
    const auto records = decode_mdns_message(datagram);
    if (!records) continue;
    ingest_mdns_records(pass, *records, now, receiving);
    ingest_mdns_records(owner, *records, now, receiving);
    require(owner.records.size() <= kMaxCacheKeys && pass.records.size() <= kMaxCacheKeys);

    const DeviceView view = build_device_view(owner);
    require(view.size() <= kMaxViewDevices);
    // The literal scan costs a full pass over the cache per instance and SRV record: compared
    // while the cache is small enough that it stays quick.
    if (owner.records.size() <= kLiteralComparisonRecords) {
      require(same_device_view(view, literal_device_view(owner)));
    }
    for (const auto& [id, entry] : view) {
      check_device(id, entry, owner);
      device_changed(owner.published_view, id, entry.device);
    }
    owner.published_view = devices_of_view(view);

    if ((flags & 8) && !view.empty()) {
      for (const RecordKey& key : view.begin()->second.supporting_keys) {
        remove_cache_record(owner.records, key);
      }
    }
  }

  const DeviceView seen = build_device_view(pass);
  StableIdSet seen_ids;
  for (const auto& [id, entry] : seen) seen_ids.insert(id);
  ScanResult result;
  for (const auto& [id, device] : owner.published_view) result.devices.push_back(device);
  retain_known_devices(result.devices, seen_ids);
  for (const DiscoveredDevice& device : result.devices) require(seen_ids.contains(device.id));
  scan_result_to_json(result).dump();
  return 0;
}
