#include "engine/orchestration/default_session_runner.hpp"

#include <utility>

#include "engine/engine.hpp"
#include "engine/orchestration/managed_session.hpp"
#include "platform/pulse_audio_host.hpp"

namespace kestrune::engine {

SessionError DefaultSessionRunner::run(const SessionConfig& config,
                                       std::shared_ptr<SessionShared> shared) {
  return run_managed_session(config, shared, platform::default_audio_host());
}

SessionExpected<StartedSession> start_session(SessionConfig config) {
  return start_session_with_runner(std::move(config), std::make_unique<DefaultSessionRunner>());
}

}  // namespace kestrune::engine
