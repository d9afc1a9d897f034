#include "engine/core/session_events.hpp"

#include <optional>
#include <utility>

#include "engine/core/session_report_merge.hpp"

namespace kestrune::engine {

namespace {

// The metrics event when a merge marked them dirty (read and cleared in one step), else none.
SessionEvent dirty_metrics_or_none(SessionMailbox& mailbox, SessionReport& snapshot) {
  if (mailbox.metrics_dirty.exchange(false, std::memory_order_acq_rel)) {
    return SessionMetricsEvent{mailbox.session_id, std::move(snapshot)};
  }
  return NoSessionEvent{};
}

}  // namespace

SessionEventSource::SessionEventSource(std::shared_ptr<SessionShared> shared)
    : mailbox_(shared->mailbox), shared_(std::move(shared)) {}

SessionEvent poll_session_event(SessionEventSource& source) {
  if (source.done_) return NoSessionEvent{};
  SessionMailbox& mailbox = *source.mailbox_;
  SessionReport snapshot = snapshot_session_report(*source.shared_);

  if (auto state = mailbox.state_receiver.try_recv()) return *state;

  {
    auto guard = mailbox.warnings.try_lock();
    if (!guard || guard->poisoned()) return dirty_metrics_or_none(mailbox, snapshot);
    WarningBook& book = **guard;
    if (book.pending_count > 0) {
      const PendingWarning oldest = book.pending[0];
      for (std::size_t i = 1; i < book.pending_count; ++i) book.pending[i - 1] = book.pending[i];
      --book.pending_count;
      return SessionWarningEvent{oldest.key.code, oldest.key.stage, oldest.retryable,
                                 mailbox.session_id, oldest.occurrences};
    }
    const WarningCounters counters = read_warning_counters(mailbox);
    if (book.notice_pending || counters.overflowed > book.overflow_reported) {
      book.notice_pending = false;
      book.overflow_reported = counters.overflowed;
      return SessionOverflowNotice{counters.overflowed, counters.key_admission_failures,
                                   mailbox.session_id};
    }
  }

  SessionEvent metrics = dirty_metrics_or_none(mailbox, snapshot);
  if (!is_no_event(metrics)) return metrics;

  // The coordinator posts its last state events before it stores the terminal record, so once
  // the record is out of its slot every state event before it is in the channel. One found there
  // goes out first and the record goes back for the next poll. (Looking at the channel before
  // taking the record would miss a state event posted in between, and the source, done, would
  // never deliver it.)
  std::optional<SessionTerminalRecord> terminal = std::exchange(*mailbox.terminal.lock(), {});
  if (!terminal) return NoSessionEvent{};
  if (auto late = mailbox.state_receiver.try_recv()) {
    *mailbox.terminal.lock() = std::move(terminal);
    return *late;
  }
  source.done_ = true;
  return std::move(*terminal);
}

SessionEvent wait_session_event(SessionEventSource& source,
                                std::chrono::steady_clock::duration timeout) {
  if (source.done()) return NoSessionEvent{};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  SessionMailbox& mailbox = *source.shared()->mailbox;
  // Each turn either yields or sleeps on the doorbell until a ring or the deadline.
  for (;;) {
    SessionEvent event = poll_session_event(source);
    if (!is_no_event(event)) return event;
    if (std::chrono::steady_clock::now() >= deadline) return NoSessionEvent{};
    (void)mailbox.doorbell_receiver.recv_until(deadline);
  }
}

}  // namespace kestrune::engine
