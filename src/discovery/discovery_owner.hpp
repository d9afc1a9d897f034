#pragma once
// The thread "kestrune-discovery-owner", which owns all discovery state (the owner cache with its
// published view, and the renewal schedule), and the handle through which the main thread starts
// it, asks it for scans and stops it. A scan runs one browse pass of exactly its scan time; scans
// that arrive while a pass runs (a renewal's or another scan's) get that pass's result without a
// pass of their own. Between scans the owner renews published receivers by itself. Nothing goes
// on the network before the first scan. The owner ends when it is stopped, when every request
// sender is gone, when the host's output is closed or when a renewal-miss event is refused; it
// wakes at least every 50 ms to see the stop flag and the output.

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>

#include "discovery/discovered_device.hpp"
#include "discovery/discovery_output.hpp"
#include "support/channel.hpp"
#include "support/error.hpp"
#include "support/stoppable_worker.hpp"

namespace kestrune::discovery {

// The network a pass browses (browse_network.hpp): the host's own one unless a test gives another.
class BrowseNetwork;

struct ScanRequest {
  support::Sender<ScanResult> reply;  // carries one result
  std::chrono::milliseconds scan_time;
};
// A scan, or (without one) the request to stop. (An optional rather than a variant: GCC 12 warns
// falsely about the variant's moves at -O2.)
struct DiscoveryRequest {
  std::optional<ScanRequest> scan;
};

class DiscoveryOwner {
 public:
  // The moved-from handle owns nothing; its drop does nothing.
  DiscoveryOwner(DiscoveryOwner&& other) noexcept;
  DiscoveryOwner& operator=(DiscoveryOwner&&) = delete;
  DiscoveryOwner(const DiscoveryOwner&) = delete;
  DiscoveryOwner& operator=(const DiscoveryOwner&) = delete;
  // Stops and joins the owner (drop_discovery_owner).
  ~DiscoveryOwner();

 private:
  friend support::Result<DiscoveryOwner> spawn_discovery_owner(std::shared_ptr<DiscoveryOutput>,
                                                               std::shared_ptr<BrowseNetwork>);
  friend std::optional<ScanResult> request_scan(DiscoveryOwner&, std::chrono::milliseconds);
  friend void stop_discovery_owner(DiscoveryOwner&);
  friend void drop_discovery_owner(DiscoveryOwner&);

  DiscoveryOwner(support::Sender<DiscoveryRequest> requests, support::StoppableWorker<void> worker);

  std::optional<support::Sender<DiscoveryRequest>> requests_;
  support::StoppableWorker<void> worker_;
};

// Starts the owner thread browsing the host's own network; the error when the thread cannot be
// created.
support::Result<DiscoveryOwner> spawn_discovery_owner(std::shared_ptr<DiscoveryOutput> output);
// The same over the given network.
support::Result<DiscoveryOwner> spawn_discovery_owner(std::shared_ptr<DiscoveryOutput> output,
                                                      std::shared_ptr<BrowseNetwork> network);

// Asks the owner for a scan of `scan_time` and waits for its reply at most scan_time + 1 s.
// Nothing when the owner has ended, the time runs out or the reply channel closes; a reply that
// comes later is discarded.
std::optional<ScanResult> request_scan(DiscoveryOwner& owner, std::chrono::milliseconds scan_time);

// Sets the stop flag, sends Stop and joins the thread (a second call only does the first two). A
// pass in progress ends at its next check; a fatal end of the owner is not reported.
void stop_discovery_owner(DiscoveryOwner& owner);

// stop_discovery_owner, then the release of the handle's parts. Harmless when repeated.
void drop_discovery_owner(DiscoveryOwner& owner);

}  // namespace kestrune::discovery
