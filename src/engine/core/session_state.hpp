#pragma once
// A session's states and the reasons it moves between them. A session passes through
// starting, [playing, [draining]], [failed], stopping, stopped: at most six state events.

#include <array>
#include <cstdint>
#include <string_view>

namespace kestrune::engine {

enum class SessionState : std::uint8_t { starting, playing, draining, failed, stopping, stopped };

enum class TransitionReason : std::uint8_t {
  start_requested,
  startup_complete,
  end_of_stream,
  duration_elapsed,
  stop_requested,
  last_owner_dropped,
  failure,
  cleanup_complete,
};

inline constexpr std::array<std::string_view, 6> kSessionStateNames = {
    "starting", "playing", "draining", "failed", "stopping", "stopped",
};

inline constexpr std::array<std::string_view, 8> kTransitionReasonNames = {
    "start_requested", "startup_complete",   "end_of_stream", "duration_elapsed",
    "stop_requested",  "last_owner_dropped", "failure",       "cleanup_complete",
};

// The value's name from the table above; a value no enumerator has is "unknown"
// (support/enum_names.hpp).
std::string_view wire_name(SessionState state);
std::string_view wire_name(TransitionReason reason);

}  // namespace kestrune::engine
