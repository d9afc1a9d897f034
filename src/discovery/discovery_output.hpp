#pragma once
// Where discovery sends what the host is to see: device events, and whether the host's output has
// been closed. The process shell implements it over its output queue; discovery knows nothing of
// the shell.

#include <string_view>

#include <nlohmann/json.hpp>

namespace kestrune::discovery {

class DiscoveryOutput {
 public:
  virtual ~DiscoveryOutput() = default;

  // Queues the event `name` with `payload` for the host, waiting while the output is full.
  // False when it was refused because the output is finished or closed.
  virtual bool push_event(std::string_view name, nlohmann::json payload) = 0;

  // Whether the host's output has failed; discovery then stops.
  virtual bool output_closed() = 0;
};

}  // namespace kestrune::discovery
