#pragma once
// The one path by which a session tells the outside world what happens to it. Producers (the
// coordinator, the runner, the stream loops and the session's workers) never block on it; the only
// consumer is the shell's event pump (session_events.hpp). The mailbox bounds what it keeps:
//   - state events in a channel of 8 (a session posts at most six);
//   - warnings coalesced per (code, stage) key, at most 16 keys pending, with an occurrence count;
//     what cannot be kept is counted and announced by an overflow notice;
//   - the terminal record in a slot of its own, stored once when the coordinator closes the box.
// A doorbell channel of 1 wakes the consumer; a ring that finds it full is dropped.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "engine/core/session_error.hpp"
#include "engine/core/session_id.hpp"
#include "engine/core/session_report.hpp"
#include "engine/core/session_state.hpp"
#include "engine/core/session_warning.hpp"
#include "support/channel.hpp"
#include "support/mutex.hpp"

namespace kestrune::engine {

inline constexpr std::size_t kStateChannelCapacity = 8;
inline constexpr std::size_t kMaxPendingWarningKeys = 16;

struct SessionStateEvent {
  SessionId session_id{};
  SessionState state = SessionState::starting;
  TransitionReason reason = TransitionReason::start_requested;

  friend bool operator==(const SessionStateEvent&, const SessionStateEvent&) = default;
};

// The session's last word. `error` is success when the session completed; `reason` is then why
// it ended (end_of_stream, duration_elapsed or stop_requested), otherwise it carries no meaning.
struct SessionTerminalRecord {
  SessionError error;
  TransitionReason reason = TransitionReason::stop_requested;
  SessionId session_id{};
  SessionReport report;

  bool completed() const { return error.is_success(); }
};

struct PendingWarning {
  WarningKey key;
  std::uint64_t occurrences = 0;
  bool retryable = false;
};

// Everything under the warning lock.
struct WarningBook {
  std::array<PendingWarning, kMaxPendingWarningKeys> pending{};  // oldest first
  std::size_t pending_count = 0;
  std::uint64_t overflow_reported = 0;  // the overflowed total the last notice carried
  bool notice_pending = false;
};

struct DoorbellRing {};

struct SessionMailbox {
  explicit SessionMailbox(const SessionId& id);
  SessionMailbox(const SessionMailbox&) = delete;
  SessionMailbox& operator=(const SessionMailbox&) = delete;

  const SessionId session_id;

  support::Sender<SessionStateEvent> state_sender;
  support::Receiver<SessionStateEvent> state_receiver;  // the consumer's

  support::Sender<DoorbellRing> doorbell_sender;
  support::Receiver<DoorbellRing> doorbell_receiver;  // the consumer's

  // Only ever tried, never waited for, by producers and consumer alike.
  support::Mutex<WarningBook> warnings;
  support::Mutex<std::optional<SessionTerminalRecord>> terminal;

  std::atomic<std::uint64_t> occurrences_coalesced{0};
  std::atomic<std::uint64_t> occurrences_overflowed{0};
  std::atomic<std::uint64_t> key_admission_failures{0};

  std::atomic<bool> closed{false};
  std::atomic<bool> metrics_dirty{false};

 private:
  SessionMailbox(
      const SessionId& id,
      std::pair<support::Sender<SessionStateEvent>, support::Receiver<SessionStateEvent>> states,
      std::pair<support::Sender<DoorbellRing>, support::Receiver<DoorbellRing>> bell);
};

// Wakes the consumer; a ring that finds one already waiting is dropped.
void ring_doorbell(SessionMailbox& mailbox);

// Queues a state event without blocking and rings. A full channel means a defect (no session
// posts more than six): the calling thread ends with "state retention capacity covers a complete
// session".
void post_state_event(SessionMailbox& mailbox, SessionState state, TransitionReason reason);

// Admits or coalesces one warning; never blocks, never fails. Ignored once the mailbox is closed.
// A contended or poisoned warning lock loses the warning and counts it as overflowed.
void post_mailbox_warning(SessionMailbox& mailbox, WarningCode code, SessionStage stage,
                          bool retryable);

// Marks the report as changed so the consumer sends metrics, unless the mailbox is closed.
void mark_metrics_dirty(SessionMailbox& mailbox);

// Closes the mailbox to warnings and metrics, stores the terminal record and rings. What is
// already inside is still delivered.
void close_mailbox(SessionMailbox& mailbox, SessionTerminalRecord record);

struct WarningCounters {
  std::uint64_t coalesced = 0;
  std::uint64_t overflowed = 0;
  std::uint64_t key_admission_failures = 0;
};
WarningCounters read_warning_counters(const SessionMailbox& mailbox);

}  // namespace kestrune::engine
