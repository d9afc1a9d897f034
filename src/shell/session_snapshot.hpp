#pragma once
// What the shell knows of a session beyond the session core: its id as the host sees it. One per
// session, created without an id by startSession; the session's event pump is its only writer
// (it sets the id when it handles the session's first state change or its terminal event, and
// never clears it); getState reads it. A lock left poisoned is used as it is found.

#include <optional>
#include <string>

#include "support/mutex.hpp"

namespace kestrune::shell {

struct SessionSnapshotContent {
  std::optional<std::string> sessionId;
};

struct SessionSnapshot {
  support::Mutex<SessionSnapshotContent> content;
};

// A copy of the content; the caller holds the snapshot's lock.
SessionSnapshotContent clone_session_snapshot(const SessionSnapshotContent& content);

// Under the lock, held only for the copy or the store.
SessionSnapshotContent read_session_snapshot(SessionSnapshot& snapshot);
void set_snapshot_session_id(SessionSnapshot& snapshot, std::string session_id);

}  // namespace kestrune::shell
