#pragma once
// A session step's status read the way a runner reports a session's result: the step's error, or
// success. For a scripted runner that ends with a step, and for a table of expected results that
// holds successes and failures side by side.

#include "engine/core/session_error.hpp"

namespace kestrune::testing {

inline engine::SessionError session_result_of(const engine::SessionStatus& status) {
  return status ? engine::SessionError::success() : status.error();
}

}  // namespace kestrune::testing
