#include "shell/queue_discovery_output.hpp"

#include <utility>

#include "shell/envelopes.hpp"

namespace kestrune::shell {

bool QueueDiscoveryOutput::push_event(std::string_view name, nlohmann::json payload) {
  return queue_->push(build_event(name, std::move(payload)));
}

bool QueueDiscoveryOutput::output_closed() { return queue_->closed(); }

}  // namespace kestrune::shell
