#pragma once
// The session's whole life after its start was accepted, run once on its coordinator thread. A
// runner reports every failure as its returned SessionError (success when the session ended
// without error, with the end reason recorded in the shared state); it returns success only after
// mark_startup_complete succeeded. The production runner, which talks to the receiver and streams
// the audio, lives above the session core (engine/orchestration/default_session_runner.hpp); the
// shell starts sessions with it through start_session (engine/engine.hpp).

#include <memory>

#include "engine/core/session_config.hpp"
#include "engine/core/session_error.hpp"
#include "engine/core/session_shared.hpp"

namespace kestrune::engine {

class SessionRunner {
 public:
  virtual ~SessionRunner() = default;
  virtual SessionError run(const SessionConfig& config, std::shared_ptr<SessionShared> shared) = 0;
};

}  // namespace kestrune::engine
