#pragma once
// One mDNS browse pass: the browse query sent once from every usable IPv4 interface address (at
// most 64), and the answers gathered for the pass length into the owner cache and into a cache of
// this pass alone. Whenever the answers pause, the records they named but left out are asked for
// with follow-up queries (follow_up_queries.hpp). While answers arrive, devices that leave the
// owner's view are announced at once as "deviceExpired" (authoritative removals); at the end every
// device of the published view that this pass's own answers prove present is announced as
// "deviceDiscovered", in ascending id order, and the same devices are the pass's scan result.
// Interfaces that could not be used show as one "discovery_interface_failed" warning with their
// count. Expired records that no published device stands on leave the owner cache when the pass
// starts; at its end, so do expired records behind a receiver that answered without them. The
// pass never fails; it ends early, as complete, when the stop flag is set, the output closes or an
// event push is refused.

#include <atomic>
#include <chrono>

#include "discovery/browse_network.hpp"
#include "discovery/discovered_device.hpp"
#include "discovery/discovery_cache.hpp"
#include "discovery/discovery_output.hpp"

namespace kestrune::discovery {

inline constexpr std::size_t kReceiveBufferBytes = 9000;
inline constexpr int kMaxDatagramsPerSweep = 32;
inline constexpr std::chrono::milliseconds kIdleSweepSleep{10};

struct BrowsePassResult {
  ScanResult result;
  // The ids in the device view of this pass's answers alone.
  StableIdSet seen_ids;
};

// `clock_origin` is the owner's: every time stored in the caches is owner time.
BrowsePassResult browse_pass(std::chrono::nanoseconds length,
                             std::chrono::steady_clock::time_point clock_origin,
                             const std::atomic<bool>& stop_flag, DiscoveryOutput& output,
                             DiscoveryCache& owner_cache, BrowseNetwork& network);

}  // namespace kestrune::discovery
