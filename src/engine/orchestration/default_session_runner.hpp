#pragma once
// The runner every session of the process gets: the managed session with loopback capture from
// the sound server. start_session (engine/engine.hpp) starts a session with it.

#include <memory>

#include "engine/core/session_config.hpp"
#include "engine/core/session_error.hpp"
#include "engine/core/session_runner.hpp"
#include "engine/core/session_start.hpp"

namespace kestrune::engine {

class DefaultSessionRunner final : public SessionRunner {
 public:
  SessionError run(const SessionConfig& config, std::shared_ptr<SessionShared> shared) override;
};

}  // namespace kestrune::engine
