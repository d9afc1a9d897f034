#pragma once
// Sessions whose runner follows a script, and a reader that plays the event pump's part.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "engine/core/session_config.hpp"
#include "engine/core/session_events.hpp"
#include "engine/core/session_runner.hpp"
#include "engine/core/session_shared.hpp"
#include "tests/support/wait_until.hpp"

namespace kestrune::engine::testing {

using Script = std::function<SessionError(SessionShared&)>;

class ScriptedRunner final : public SessionRunner {
 public:
  explicit ScriptedRunner(Script script) : script_(std::move(script)) {}
  SessionError run(const SessionConfig&, std::shared_ptr<SessionShared> shared) override {
    return script_(*shared);
  }

 private:
  Script script_;
};

inline std::unique_ptr<SessionRunner> scripted(Script script) {
  return std::make_unique<ScriptedRunner>(std::move(script));
}

inline SessionConfig valid_config() {
  SessionConfig config;
  config.stableId = "dev_kitchen";
  config.displayName = "Kitchen";
  config.addresses = {platform::IpAddress::v4(127, 0, 0, 1)};
  config.port = 7000;
  config.initialVolume = 0.5f;
  return config;
}

// Waits (at most 20 s) for a stop request, as a runner blocked in its stream would.
inline void wait_for_stop(SessionShared& shared) {
  using namespace std::chrono_literals;
  (void)kestrune::testing::wait_until([&] { return shared.stop_requested.load(); }, 20s);
}

// What the event pump saw of a session.
struct SeenEvents {
  std::vector<SessionStateEvent> states;
  std::optional<SessionTerminalRecord> terminal;
  std::size_t others = 0;

  bool saw_state(SessionState state) const {
    for (const auto& event : states) {
      if (event.state == state) return true;
    }
    return false;
  }
};

// Reads events until `stop_when` holds, the terminal record came, or 10 s have passed.
inline void read_events(SessionEventSource& source, SeenEvents& seen,
                        const std::function<bool(const SeenEvents&)>& stop_when) {
  using namespace std::chrono_literals;
  const auto give_up = std::chrono::steady_clock::now() + 10s;
  for (int i = 0; i < 10000 && !seen.terminal && !stop_when(seen); ++i) {
    if (std::chrono::steady_clock::now() > give_up) return;
    SessionEvent event = wait_session_event(source, 250ms);
    if (auto* state = std::get_if<SessionStateEvent>(&event)) {
      seen.states.push_back(*state);
    } else if (auto* terminal = std::get_if<SessionTerminalRecord>(&event)) {
      seen.terminal = std::move(*terminal);
    } else if (!is_no_event(event)) {
      ++seen.others;
    }
  }
}

inline void read_until_terminal(SessionEventSource& source, SeenEvents& seen) {
  read_events(source, seen, [](const SeenEvents&) { return false; });
}

inline void read_until_state(SessionEventSource& source, SeenEvents& seen, SessionState state) {
  read_events(source, seen, [state](const SeenEvents& s) { return s.saw_state(state); });
}

}  // namespace kestrune::engine::testing
