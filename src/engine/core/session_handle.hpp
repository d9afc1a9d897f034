#pragma once
// An owner's handle on a running session. start_session hands out exactly one owner handle; when
// the last owner lets go of its session while the session still runs, the session is stopped
// (with the last-owner mark) and waited for. Move-only: the drop happens in the destructor or in
// drop_session_handle, whichever comes first.
//
// Every operation below is for the shell's main thread. On a handle that no longer holds a session
// (moved from or dropped) they do nothing: the state reads stopped, the volume is refused as
// cancelled, the outcome is internal_error at internal and the snapshot an empty report.

#include <memory>

#include "engine/core/session_error.hpp"
#include "engine/core/session_report.hpp"
#include "engine/core/session_shared.hpp"
#include "engine/core/session_state.hpp"

namespace kestrune::engine {

class SessionHandle {
 public:
  SessionHandle() = default;
  // A handle on `shared` that does not yet take part in the owner count.
  explicit SessionHandle(std::shared_ptr<SessionShared> shared);
  SessionHandle(SessionHandle&& other) noexcept;
  SessionHandle& operator=(SessionHandle&& other) noexcept;
  SessionHandle(const SessionHandle&) = delete;
  SessionHandle& operator=(const SessionHandle&) = delete;
  ~SessionHandle();

  const std::shared_ptr<SessionShared>& shared() const { return shared_; }
  bool is_owner() const { return owner_; }
  // Makes this handle the owner that the owner count was created for.
  void make_owner() { owner_ = true; }

 private:
  friend void drop_session_handle(SessionHandle& handle);
  std::shared_ptr<SessionShared> shared_;
  bool owner_ = false;
};

// The end of an owner handle's life: when it was the last owner and the session has no outcome
// yet, stop it (last-owner mark), wait for its outcome and join its coordinator; a session that
// overran its shutdown deadline then writes "error[core_shutdown]: shutdown deadline exceeded" to
// standard error. Then the handle lets go of the shared state.
void drop_session_handle(SessionHandle& handle);

// Stop request (without the last-owner mark), wait for the outcome, join the coordinator.
[[nodiscard]] SessionOutcome stop_and_wait_session(SessionHandle& handle);

// For a session that ended by itself: wait for the outcome, join the coordinator.
[[nodiscard]] SessionOutcome wait_and_join_session(SessionHandle& handle);

// Success; config_error at set_volume for a value that is not finite or outside 0.0 to 1.0;
// cancelled at set_volume once the session is stopped. A refused value changes nothing; an
// accepted one bumps the volume generation the stream loops compare against.
[[nodiscard]] SessionStatus set_session_volume(SessionHandle& handle, float volume);

SessionState session_state(const SessionHandle& handle);

SessionReport session_report_snapshot(const SessionHandle& handle);

}  // namespace kestrune::engine
