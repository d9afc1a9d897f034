#include "shell/queue_discovery_output.hpp"

#include <utility>

#include "shell/envelopes.hpp"

namespace kestrune::shell {

bool QueueDiscoveryOutput::push_event(std::string_view name, nlohmann::json payload) {
  return push_output(*queue_, build_event(name, std::move(payload)));
}

bool QueueDiscoveryOutput::output_closed() { return shell::output_closed(*queue_); }

}  // namespace kestrune::shell
