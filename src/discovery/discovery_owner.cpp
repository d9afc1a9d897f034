#include "discovery/discovery_owner.hpp"

#include <utility>
#include <vector>

#include "discovery/browse_network.hpp"
#include "discovery/browse_pass.hpp"
#include "discovery/discovery_cache.hpp"
#include "discovery/owner_time.hpp"
#include "discovery/platform_browse_network.hpp"
#include "discovery/renewal_schedule.hpp"
#include "platform/thread_name.hpp"

namespace kestrune::discovery {
namespace {

using Clock = std::chrono::steady_clock;

enum class Turn { next, end };

class OwnerLoop {
 public:
  OwnerLoop(support::Receiver<DiscoveryRequest> requests,
            std::shared_ptr<std::atomic<bool>> stop_flag, std::shared_ptr<DiscoveryOutput> output,
            std::shared_ptr<BrowseNetwork> network)
      : requests_(std::move(requests)),
        stop_flag_(std::move(stop_flag)),
        output_(std::move(output)),
        network_(std::move(network)),
        clock_origin_(Clock::now()) {}

  void run() {
    while (turn() == Turn::next) {
    }
  }

 private:
  Turn turn() {
    if (stop_flag_->load()) return Turn::end;
    if (output_->output_closed()) return Turn::end;
    const ScheduleOutcome outcome = schedule_.step(now(), cache_, *output_);
    switch (outcome.kind) {
      case ScheduleOutcome::Kind::continue_now:
        return Turn::next;
      case ScheduleOutcome::Kind::end:
        return Turn::end;
      case ScheduleOutcome::Kind::renewal_pass: {
        const BrowsePassResult pass = run_pass(outcome.duration);
        schedule_.settle_renewal_pass(pass.seen_ids, cache_);
        return answer_queued_scans(pass.result);
      }
      case ScheduleOutcome::Kind::wait:
        break;
    }
    auto request = requests_.recv_timeout(outcome.duration);
    if (!request) {
      return request.error() == support::RecvError::disconnected ? Turn::end : Turn::next;
    }
    if (!request->scan) return Turn::end;  // Stop
    return handle_scan(std::move(*request->scan));
  }

  Turn handle_scan(ScanRequest scan) {
    const BrowsePassResult pass = run_pass(scan.scan_time);
    schedule_.after_scan(pass.seen_ids, now(), cache_);
    // Taken before the reply goes out: a scan the caller sends once it has this reply was not
    // waiting during the pass and gets a pass of its own.
    QueuedRequests queued = take_queued_requests();
    {
      support::Sender<ScanResult> reply = std::move(scan.reply);  // dropped once it has replied
      (void)reply.send(pass.result);  // refused when the caller has stopped waiting
    }
    return answer(std::move(queued), pass.result);
  }

  // The scans that queued up during a pass, in order, up to a Stop or the end of the channel.
  struct QueuedRequests {
    std::vector<support::Sender<ScanResult>> scan_replies;
    Turn after = Turn::next;  // end when a Stop came or every sender is gone
  };

  QueuedRequests take_queued_requests() {
    QueuedRequests queued;
    for (;;) {
      auto request = take_queued_request();
      if (!request) {
        if (request.error() == support::RecvError::disconnected) queued.after = Turn::end;
        return queued;
      }
      if (!request->scan) {  // Stop: whatever is queued behind it is dropped
        queued.after = Turn::end;
        return queued;
      }
      queued.scan_replies.push_back(std::move(request->scan->reply));
    }
  }

  // Scans that queued up during a pass share its result and run no pass of their own.
  static Turn answer(QueuedRequests queued, const ScanResult& result) {
    for (auto& reply : queued.scan_replies) (void)reply.send(result);
    return queued.after;
  }

  Turn answer_queued_scans(const ScanResult& result) {
    return answer(take_queued_requests(), result);
  }

  // A queued request, never waiting (a zero wait gives timeout for an empty channel). Out of line
  // and without try_recv: otherwise GCC 12 at -O2 takes the moved request for an uninitialized
  // one and warns.
  [[gnu::noinline]] std::expected<DiscoveryRequest, support::RecvError> take_queued_request() {
    return requests_.recv_timeout(std::chrono::nanoseconds::zero());
  }

  BrowsePassResult run_pass(std::chrono::nanoseconds length) {
    return browse_pass(length, clock_origin_, *stop_flag_, *output_, cache_, *network_);
  }

  OwnerTime now() const { return OwnerTime::since(clock_origin_); }

  support::Receiver<DiscoveryRequest> requests_;
  std::shared_ptr<std::atomic<bool>> stop_flag_;
  std::shared_ptr<DiscoveryOutput> output_;
  std::shared_ptr<BrowseNetwork> network_;
  const Clock::time_point clock_origin_;
  DiscoveryCache cache_;
  RenewalSchedule schedule_;
};

}  // namespace

DiscoveryOwner::DiscoveryOwner(support::Sender<DiscoveryRequest> requests,
                               support::StoppableWorker<void> worker)
    : requests_(std::move(requests)), worker_(std::move(worker)) {}

DiscoveryOwner::DiscoveryOwner(DiscoveryOwner&& other) noexcept
    : requests_(std::exchange(other.requests_, std::nullopt)), worker_(std::move(other.worker_)) {}

DiscoveryOwner::~DiscoveryOwner() { drop_discovery_owner(*this); }

support::Result<DiscoveryOwner> spawn_discovery_owner(std::shared_ptr<DiscoveryOutput> output) {
  return spawn_discovery_owner(std::move(output), platform_browse_network());
}

support::Result<DiscoveryOwner> spawn_discovery_owner(std::shared_ptr<DiscoveryOutput> output,
                                                      std::shared_ptr<BrowseNetwork> network) {
  auto [sender, receiver] = support::unbounded_channel<DiscoveryRequest>();
  support::StopFlag stop_flag = support::make_stop_flag();
  auto thread = platform::spawn_named(
      "kestrune-discovery-owner", [requests = std::move(receiver), stop_flag,
                                   sink = std::move(output), net = std::move(network)]() mutable {
        // The loop and everything it owns are released before the thread returns.
        OwnerLoop(std::move(requests), std::move(stop_flag), std::move(sink), std::move(net)).run();
      });
  if (!thread) return support::fail_with_context(std::move(thread), "start discovery owner");
  return DiscoveryOwner(std::move(sender),
                        support::StoppableWorker<void>(std::move(stop_flag), std::move(*thread)));
}

std::optional<ScanResult> request_scan(DiscoveryOwner& owner, std::chrono::milliseconds scan_time) {
  if (!owner.requests_) return std::nullopt;
  auto [reply_sender, reply_receiver] = support::unbounded_channel<ScanResult>();
  if (!owner.requests_->send(DiscoveryRequest{ScanRequest{std::move(reply_sender), scan_time}})) {
    return std::nullopt;
  }
  // Scan times are at most 5 s, so the sum cannot overflow.
  auto reply = reply_receiver.recv_timeout(scan_time + std::chrono::seconds(1));
  if (!reply) return std::nullopt;
  return std::move(*reply);
}

void stop_discovery_owner(DiscoveryOwner& owner) {
  owner.worker_.request_stop();
  if (owner.requests_) (void)owner.requests_->send(DiscoveryRequest{});
  if (owner.worker_.has_thread()) (void)owner.worker_.join();  // a fatal end is not reported
}

void drop_discovery_owner(DiscoveryOwner& owner) {
  stop_discovery_owner(owner);
  owner.requests_.reset();
  owner.worker_ = support::StoppableWorker<void>();
}

}  // namespace kestrune::discovery
