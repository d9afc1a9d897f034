#include "shell/session_snapshot.hpp"

#include <utility>

namespace kestrune::shell {

SessionSnapshotContent clone_session_snapshot(const SessionSnapshotContent& content) {
  return content;
}

SessionSnapshotContent read_session_snapshot(SessionSnapshot& snapshot) {
  auto content = snapshot.content.lock();
  return clone_session_snapshot(*content);
}

void set_snapshot_session_id(SessionSnapshot& snapshot, std::string session_id) {
  snapshot.content.lock()->sessionId = std::move(session_id);
}

}  // namespace kestrune::shell
