#pragma once
// Device change events: what the host is told when the device view of the owner cache moves away
// from the published view (what the host was last told). "deviceExpired" {id, reason} for every
// published device that has left the view; with announce, "deviceDiscovered" {device} for every
// device that is new or differs in any field. Each event is pushed on its own; the first refused
// push ends the emission, leaves the published view as it was and gives false. Otherwise the
// published view becomes the current view, announced or not, and the cache holds the records
// behind it against expiry.

#include <string_view>

#include "discovery/discovered_device.hpp"
#include "discovery/discovery_cache.hpp"
#include "discovery/discovery_output.hpp"

namespace kestrune::discovery {

inline constexpr std::string_view kDeviceDiscoveredEvent = "deviceDiscovered";
inline constexpr std::string_view kDeviceExpiredEvent = "deviceExpired";
// The reasons of "deviceExpired": the schedule gave up on a silent receiver, or a received
// answer (a goodbye, a cache flush) took the receiver's records away.
inline constexpr std::string_view kRenewalMissReason = "renewalMiss";
inline constexpr std::string_view kAuthoritativeRemovalReason = "authoritativeRemoval";

enum class ExpiryReason { authoritative_removal, renewal_miss };
enum class Announce { no, yes };

bool emit_device_events(DiscoveryCache& cache, DiscoveryOutput& output, ExpiryReason reason,
                        Announce announce);

// Pushes "deviceDiscovered" with {"device": the device's JSON form}; false when refused.
bool push_device_discovered(DiscoveryOutput& output, const DiscoveredDevice& device);

}  // namespace kestrune::discovery
