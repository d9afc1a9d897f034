#pragma once
// The event pump's reading end of a session's mailbox. One poll yields at most one event, in this
// priority: state events (oldest first), then pending warnings (oldest key first), then the
// overflow notice, then metrics (when a merge marked them dirty), then the terminal record, which
// comes only when no state event waits and comes exactly once. After the terminal record the
// source is done and yields nothing more.

#include <chrono>
#include <cstdint>
#include <memory>
#include <variant>

#include "engine/core/session_mailbox.hpp"
#include "engine/core/session_shared.hpp"

namespace kestrune::engine {

struct NoSessionEvent {};

struct SessionWarningEvent {
  WarningCode code = WarningCode::optional_request_rejected;
  SessionStage stage = SessionStage::internal;
  bool retryable = false;
  SessionId session_id{};
  std::uint64_t occurrences = 0;
};

struct SessionMetricsEvent {
  SessionId session_id{};
  SessionReport report;  // a snapshot taken at the poll
};

// Running totals of what the mailbox could not keep.
struct SessionOverflowNotice {
  std::uint64_t occurrences_overflowed = 0;
  std::uint64_t key_admission_failures = 0;
  SessionId session_id{};
};

using SessionEvent =
    std::variant<NoSessionEvent, SessionStateEvent, SessionWarningEvent, SessionMetricsEvent,
                 SessionOverflowNotice, SessionTerminalRecord>;

inline bool is_no_event(const SessionEvent& event) {
  return std::holds_alternative<NoSessionEvent>(event);
}

class SessionEventSource {
 public:
  explicit SessionEventSource(std::shared_ptr<SessionShared> shared);
  SessionEventSource(SessionEventSource&&) noexcept = default;
  SessionEventSource& operator=(SessionEventSource&&) noexcept = default;
  SessionEventSource(const SessionEventSource&) = delete;
  SessionEventSource& operator=(const SessionEventSource&) = delete;

  // Whether the terminal record has been taken.
  bool done() const { return done_; }
  const std::shared_ptr<SessionShared>& shared() const { return shared_; }

 private:
  friend SessionEvent poll_session_event(SessionEventSource& source);
  std::shared_ptr<SessionMailbox> mailbox_;
  std::shared_ptr<SessionShared> shared_;
  bool done_ = false;
};

// Never blocks. A warning lock held by a producer or left poisoned lets only metrics through.
SessionEvent poll_session_event(SessionEventSource& source);

// The next event, or none once `timeout` has passed (or at once when the source is done). Sleeps
// on the doorbell between polls.
SessionEvent wait_session_event(SessionEventSource& source,
                                std::chrono::steady_clock::duration timeout);

}  // namespace kestrune::engine
