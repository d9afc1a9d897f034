#pragma once
// The one result of a session whose stream loop ran, decided once its teardown is over: a
// teardown that ended after the shutdown deadline is shutdown_timeout at shutdown whatever the
// loop returned; otherwise a failed loop gives its error; a loop that succeeded gives
// control_poisoned at feedback when the feedback worker failed (its failure may come too late for
// the loop to see it), else "rt-sender"'s result.

#include "engine/core/session_error.hpp"
#include "engine/orchestration/stream_context.hpp"

namespace kestrune::engine {

SessionError played_session_result(bool teardown_overran, const StreamOutcome& outcome,
                                   bool feedback_failed, const SessionError& sender_result);

}  // namespace kestrune::engine
