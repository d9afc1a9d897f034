#pragma once
// Discovery's output over the shell's OutputQueue: each device event goes in as a batch of one
// event envelope, leaving the latest-value slot alone.

#include <memory>

#include "discovery/discovery.hpp"
#include "shell/output_queue.hpp"

namespace kestrune::shell {

class QueueDiscoveryOutput final : public discovery::DiscoveryOutput {
 public:
  explicit QueueDiscoveryOutput(std::shared_ptr<OutputQueue> queue) : queue_(std::move(queue)) {}

  bool push_event(std::string_view name, nlohmann::json payload) override;
  bool output_closed() override;

 private:
  std::shared_ptr<OutputQueue> queue_;
};

}  // namespace kestrune::shell
