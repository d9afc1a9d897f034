#pragma once
// The thread "kestrune-discovery-owner", which owns all discovery state, and the handle through
// which the main thread starts it, asks it for scans and stops it. The owner ends when it is
// stopped, when every request sender is gone or when the host's output is closed; it wakes at
// least every 50 ms to see the stop flag and the output.

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "discovery/discovery_output.hpp"
#include "support/channel.hpp"
#include "support/error.hpp"
#include "support/thread.hpp"

namespace kestrune::discovery {

// What a scan hands back: the scan result in the form the host sees.
using ScanReply = nlohmann::json;

struct ScanRequest {
  support::Sender<ScanReply> reply;
  std::chrono::milliseconds scan_time;
};

// A scan, or (without one) the request to stop.
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
  friend support::Result<DiscoveryOwner> spawn_discovery_owner(std::shared_ptr<DiscoveryOutput>);
  friend std::optional<ScanReply> request_scan(DiscoveryOwner&, std::chrono::milliseconds);
  friend void stop_discovery_owner(DiscoveryOwner&);
  friend void drop_discovery_owner(DiscoveryOwner&);

  DiscoveryOwner(support::Sender<DiscoveryRequest> requests,
                 std::shared_ptr<std::atomic<bool>> stop_flag,
                 support::JoinHandle<void> thread);

  std::optional<support::Sender<DiscoveryRequest>> requests_;
  std::shared_ptr<std::atomic<bool>> stop_flag_;
  std::optional<support::JoinHandle<void>> thread_;
};

// Starts the owner thread with the output; the error when the thread cannot be created.
support::Result<DiscoveryOwner> spawn_discovery_owner(std::shared_ptr<DiscoveryOutput> output);

// Asks the owner for a scan of `scan_time` and waits for its reply at most scan_time + 1 s.
// Nothing when the owner has ended, the time runs out or the owner drops the request unanswered.
std::optional<ScanReply> request_scan(DiscoveryOwner& owner, std::chrono::milliseconds scan_time);

// Sets the stop flag, sends Stop and joins the thread (a second call only does the first two).
void stop_discovery_owner(DiscoveryOwner& owner);

// stop_discovery_owner, then the release of the handle's parts. Harmless when repeated.
void drop_discovery_owner(DiscoveryOwner& owner);

}  // namespace kestrune::discovery
