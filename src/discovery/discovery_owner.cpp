#include "discovery/discovery_owner.hpp"

#include <utility>

namespace kestrune::discovery {
namespace {

// How long the owner waits for a request before it looks at the stop flag and the output again.
constexpr std::chrono::milliseconds kRequestWait{50};

void run_discovery_owner(support::Receiver<DiscoveryRequest> requests,
                         std::shared_ptr<std::atomic<bool>> stop_flag,
                         std::shared_ptr<DiscoveryOutput> output) {
  while (!stop_flag->load()) {
    if (output->output_closed()) return;
    auto request = requests.recv_timeout(kRequestWait);
    if (!request) {
      if (request.error() == support::RecvError::disconnected) return;
      continue;
    }
    if (!request->scan) return;  // Stop
    // No browse pass runs yet: the scan's reply sender is dropped here unanswered, so the caller
    // learns at once that discovery could not complete.
  }
}

}  // namespace

DiscoveryOwner::DiscoveryOwner(support::Sender<DiscoveryRequest> requests,
                               std::shared_ptr<std::atomic<bool>> stop_flag,
                               support::JoinHandle<void> thread)
    : requests_(std::move(requests)),
      stop_flag_(std::move(stop_flag)),
      thread_(std::move(thread)) {}

DiscoveryOwner::DiscoveryOwner(DiscoveryOwner&& other) noexcept
    : requests_(std::exchange(other.requests_, std::nullopt)),
      stop_flag_(std::move(other.stop_flag_)),
      thread_(std::exchange(other.thread_, std::nullopt)) {}

DiscoveryOwner::~DiscoveryOwner() { drop_discovery_owner(*this); }

support::Result<DiscoveryOwner> spawn_discovery_owner(std::shared_ptr<DiscoveryOutput> output) {
  auto [sender, receiver] = support::unbounded_channel<DiscoveryRequest>();
  auto stop_flag = std::make_shared<std::atomic<bool>>(false);
  auto thread = support::spawn_named(
      "kestrune-discovery-owner",
      [requests = std::move(receiver), stop_flag, sink = std::move(output)]() mutable {
        run_discovery_owner(std::move(requests), std::move(stop_flag), std::move(sink));
      });
  if (!thread) return support::fail_with_context(std::move(thread), "start discovery owner");
  return DiscoveryOwner(std::move(sender), std::move(stop_flag), std::move(*thread));
}

std::optional<ScanReply> request_scan(DiscoveryOwner& owner, std::chrono::milliseconds scan_time) {
  if (!owner.requests_) return std::nullopt;
  auto [reply_sender, reply_receiver] = support::unbounded_channel<ScanReply>();
  if (!owner.requests_->send(DiscoveryRequest{ScanRequest{std::move(reply_sender), scan_time}})) {
    return std::nullopt;
  }
  // The second is added to the whole-second part: 3000 ms waits 4 s, 150 ms waits 1.15 s.
  auto reply = reply_receiver.recv_timeout(scan_time + std::chrono::seconds(1));
  if (!reply) return std::nullopt;
  return std::move(*reply);
}

void stop_discovery_owner(DiscoveryOwner& owner) {
  if (owner.stop_flag_) owner.stop_flag_->store(true);
  if (owner.requests_) (void)owner.requests_->send(DiscoveryRequest{});
  if (owner.thread_) {
    auto thread = std::move(*owner.thread_);
    owner.thread_.reset();
    (void)thread.join();  // a fatal end of the owner is not reported
  }
}

void drop_discovery_owner(DiscoveryOwner& owner) {
  stop_discovery_owner(owner);
  owner.requests_.reset();
  owner.stop_flag_.reset();
}

}  // namespace kestrune::discovery
