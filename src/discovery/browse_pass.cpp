#include "discovery/browse_pass.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "discovery/browse_interfaces.hpp"
#include "discovery/browse_query.hpp"
#include "discovery/device_events.hpp"
#include "discovery/device_view.hpp"
#include "discovery/follow_up_queries.hpp"
#include "discovery/mdns_message.hpp"
#include "discovery/owner_time.hpp"

namespace kestrune::discovery {
namespace {

using Clock = std::chrono::steady_clock;

struct BrowseSocket {
  std::unique_ptr<QuerySocket> socket;
  platform::Ipv4InterfaceAddress interface;
};

std::uint32_t saturating_add(std::uint32_t a, std::uint64_t b) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(kMax, std::uint64_t{a} + b));
}

// The interfaces to open sockets on, and how many failures the warning starts from: an
// unreadable list or no usable address counts once, addresses beyond 64 count one each.
struct SelectedInterfaces {
  std::vector<platform::Ipv4InterfaceAddress> records;
  std::uint32_t failures = 0;
};

SelectedInterfaces select_interfaces(BrowseNetwork& network) {
  SelectedInterfaces selected;
  auto host_addresses = network.interface_addresses();
  if (!host_addresses) {
    selected.failures = 1;
    return selected;
  }
  selected.records = select_browse_interfaces(*host_addresses);
  if (selected.records.empty()) {
    selected.failures = 1;
  } else if (selected.records.size() > kMaxBrowseInterfaces) {
    selected.failures = saturating_add(0, selected.records.size() - kMaxBrowseInterfaces);
    selected.records.resize(kMaxBrowseInterfaces);
  }
  return selected;
}

// A receiver this pass heard from answered without the expired records that still stand behind
// it (the instance it had before a rename, say): they are no longer its records and must not hold
// its expiry back.
void drop_superseded_records(DiscoveryCache& owner_cache, const DiscoveryCache& pass_cache,
                             const StableIdSet& seen, OwnerTime now) {
  if (seen.empty()) return;
  const DeviceView view = build_device_view(owner_cache);
  // What also stands behind a receiver not heard from stays for the renewal schedule.
  RecordKeySet kept;
  for (const auto& [id, entry] : view) {
    if (!seen.contains(id)) kept.insert(entry.supporting_keys.begin(), entry.supporting_keys.end());
  }
  for (const auto& [id, entry] : view) {
    if (!seen.contains(id)) continue;
    for (const RecordKey& key : entry.supporting_keys) {
      const auto cached = owner_cache.records.find(key);
      if (cached != owner_cache.records.end() && cached->second.expiry <= now &&
          !pass_cache.records.contains(key) && !kept.contains(key)) {
        owner_cache.records.erase(cached);
      }
    }
  }
}

class ReceiveLoop {
 public:
  ReceiveLoop(Clock::time_point deadline, Clock::time_point clock_origin,
              const std::atomic<bool>& stop_flag, DiscoveryOutput& output)
      : deadline_(deadline), clock_origin_(clock_origin), stop_flag_(stop_flag), output_(output) {}

  // Sweeps over every socket until the deadline, the stop flag, the output's end or a refused
  // event push.
  void run(std::vector<BrowseSocket>& sockets, DiscoveryCache& pass_cache,
           DiscoveryCache& owner_cache) {
    std::vector<std::uint8_t> buffer(kReceiveBufferBytes, 0);
    FollowUpPlanner follow_ups(sockets.size());
    bool heard_since_follow_ups = false;
    while (!should_end()) {
      bool active = false;
      for (std::size_t index = 0; index < sockets.size(); ++index) {
        BrowseSocket& socket = sockets[index];
        for (int taken = 0; taken < kMaxDatagramsPerSweep; ++taken) {
          if (should_end()) return;
          const std::optional<std::size_t> size = socket.socket->try_receive(buffer);
          if (!size) break;  // nothing waiting, an error or an oversize datagram: next socket
          active = true;
          auto records = decode_mdns_message(std::span(buffer.data(), *size));
          if (!records) continue;  // a malformed datagram is dropped whole
          const OwnerTime now = OwnerTime::since(clock_origin_);
          follow_ups.note(index, *records);
          heard_since_follow_ups = true;
          ingest_mdns_records(pass_cache, *records, now, socket.interface);
          ingest_mdns_records(owner_cache, *records, now, socket.interface);
          if (!emit_device_events(owner_cache, output_, ExpiryReason::authoritative_removal,
                                  Announce::no)) {
            return;
          }
        }
      }
      if (active) continue;
      // The answers have stopped for now: ask for what they left out, then wait for more.
      if (heard_since_follow_ups) {
        heard_since_follow_ups = false;
        if (!send_follow_ups(follow_ups, sockets, pass_cache)) return;
      }
      std::this_thread::sleep_for(kIdleSweepSleep);
    }
  }

 private:
  // False when the pass is to end.
  bool send_follow_ups(FollowUpPlanner& follow_ups, std::vector<BrowseSocket>& sockets,
                       const DiscoveryCache& pass_cache) {
    std::vector<platform::Ipv4InterfaceAddress> interfaces;
    interfaces.reserve(sockets.size());
    for (const BrowseSocket& socket : sockets) interfaces.push_back(socket.interface);
    for (const FollowUpQuery& follow_up : follow_ups.plan(pass_cache, interfaces)) {
      if (should_end()) return false;
      const auto query = build_record_query(follow_up.questions);
      if (query) (void)sockets[follow_up.socket].socket->send_query(*query);
    }
    return true;
  }

  bool should_end() {
    return Clock::now() >= deadline_ || stop_flag_.load() || output_.output_closed();
  }

  const Clock::time_point deadline_;
  const Clock::time_point clock_origin_;
  const std::atomic<bool>& stop_flag_;
  DiscoveryOutput& output_;
};

}  // namespace

BrowsePassResult browse_pass(std::chrono::nanoseconds length, Clock::time_point clock_origin,
                             const std::atomic<bool>& stop_flag, DiscoveryOutput& output,
                             DiscoveryCache& owner_cache, BrowseNetwork& network) {
  SelectedInterfaces selected = select_interfaces(network);
  std::uint32_t failures = selected.failures;

  const std::vector<std::uint8_t> query = build_browse_query();
  std::vector<BrowseSocket> sockets;
  sockets.reserve(selected.records.size());
  for (const platform::Ipv4InterfaceAddress& record : selected.records) {
    auto socket = network.open_query_socket(record, query);
    if (!socket) {
      failures = saturating_add(failures, 1);
      continue;
    }
    sockets.push_back({std::move(*socket), record});
  }

  if (sockets.empty()) {
    owner_cache.interfaces.reset();
  } else {
    std::vector<platform::Ipv4InterfaceAddress> opened;
    opened.reserve(sockets.size());
    for (const BrowseSocket& socket : sockets) opened.push_back(socket.interface);
    owner_cache.interfaces = std::move(opened);
  }
  DiscoveryCache pass_cache;
  pass_cache.interfaces = owner_cache.interfaces;
  // What has expired and supports no published device has no further use.
  drop_expired_records(owner_cache, OwnerTime::since(clock_origin));

  const Clock::time_point now = Clock::now();
  const Clock::time_point deadline =
      length >= Clock::time_point::max() - now ? Clock::time_point::max() : now + length;
  ReceiveLoop(deadline, clock_origin, stop_flag, output).run(sockets, pass_cache, owner_cache);

  BrowsePassResult pass;
  // The published devices come first here too: a flood of new answers in this pass must not hide
  // a receiver that answered it.
  for (const auto& [id, entry] : build_device_view(pass_cache, owner_cache.published_view)) {
    pass.seen_ids.insert(id);
  }
  drop_superseded_records(owner_cache, pass_cache, pass.seen_ids, OwnerTime::since(clock_origin));
  // However the loop ended: removals still owed, then the devices this pass heard from.
  (void)emit_device_events(owner_cache, output, ExpiryReason::authoritative_removal, Announce::no);
  for (const std::string& id : pass.seen_ids) {
    const auto published = owner_cache.published_view.find(id);
    if (published == owner_cache.published_view.end()) continue;
    if (!push_device_discovered(output, published->second)) break;
  }

  std::vector<DiscoveredDevice>& devices = pass.result.devices;
  devices.reserve(owner_cache.published_view.size());
  for (const auto& [id, device] : owner_cache.published_view) devices.push_back(device);
  std::sort(devices.begin(), devices.end(),
            [](const DiscoveredDevice& a, const DiscoveredDevice& b) { return a.id < b.id; });
  retain_known_devices(devices, pass.seen_ids);
  if (failures != 0) {
    pass.result.warnings.push_back({std::string(kInterfaceFailedCode), failures});
  }
  pass.result.complete = true;
  return pass;
}

}  // namespace kestrune::discovery
