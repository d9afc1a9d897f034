#pragma once
// Where "rt-control" leaves its fatal failure for the stream loop, which reads the slot before
// every packet. It starts empty (success) and is written at most once: a later failure never
// replaces the first. A poisoned lock is used as it is.

#include <memory>

#include "engine/core/session_error.hpp"
#include "support/mutex.hpp"

namespace kestrune::engine {

using WorkerFailureSlot = support::Mutex<SessionError>;

inline std::shared_ptr<WorkerFailureSlot> new_worker_failure_slot() {
  return std::make_shared<WorkerFailureSlot>(SessionError::success());
}

// Stores `failure` if the slot is still empty; whether it did.
inline bool store_worker_failure(WorkerFailureSlot& slot, const SessionError& failure) {
  auto stored = slot.lock();
  if (stored->is_error()) return false;
  *stored = failure;
  return true;
}

// What the slot holds, success while empty: a stored value, so a bare SessionError.
inline SessionError read_worker_failure(WorkerFailureSlot& slot) { return *slot.lock(); }

}  // namespace kestrune::engine
