#pragma once
// The runner every session of the process gets: the managed session with loopback capture from
// the sound server. start_session starts a session with it.

#include <expected>
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

// start_session_with_runner with a DefaultSessionRunner (its errors are listed there).
[[nodiscard]] SessionExpected<StartedSession> start_session(SessionConfig config);

}  // namespace kestrune::engine
