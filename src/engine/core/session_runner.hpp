#pragma once
// The session's whole life after its start was accepted, run once on its coordinator thread. A
// runner reports every failure as its returned SessionError (success when the session ended
// without error, with the end reason recorded in the shared state); it returns success only after
// mark_startup_complete succeeded.

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

// The runner every production session gets. Until the managed session (receiver connection,
// audio path and teardown) is built into it, a run ends at once: cancelled at shutdown when a stop
// was requested, otherwise internal_error at internal.
class DefaultSessionRunner final : public SessionRunner {
 public:
  SessionError run(const SessionConfig& config, std::shared_ptr<SessionShared> shared) override;
};

}  // namespace kestrune::engine
