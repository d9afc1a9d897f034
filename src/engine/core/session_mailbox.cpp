#include "engine/core/session_mailbox.hpp"

#include <limits>
#include <utility>

#include "support/thread.hpp"

namespace kestrune::engine {

SessionMailbox::SessionMailbox(const SessionId& id)
    : SessionMailbox(id, support::channel<SessionStateEvent>(kStateChannelCapacity),
                     support::channel<DoorbellRing>(1)) {}

SessionMailbox::SessionMailbox(
    const SessionId& id,
    std::pair<support::Sender<SessionStateEvent>, support::Receiver<SessionStateEvent>> states,
    std::pair<support::Sender<DoorbellRing>, support::Receiver<DoorbellRing>> bell)
    : session_id(id),
      state_sender(std::move(states.first)),
      state_receiver(std::move(states.second)),
      doorbell_sender(std::move(bell.first)),
      doorbell_receiver(std::move(bell.second)) {}

void ring_doorbell(SessionMailbox& mailbox) { (void)mailbox.doorbell_sender.try_send({}); }

void post_state_event(SessionMailbox& mailbox, SessionState state, TransitionReason reason) {
  if (!mailbox.state_sender.try_send({mailbox.session_id, state, reason})) {
    support::end_thread("state retention capacity covers a complete session");
  }
  ring_doorbell(mailbox);
}

namespace {

void count_lost_warning(SessionMailbox& mailbox) {
  mailbox.occurrences_overflowed.fetch_add(1, std::memory_order_relaxed);
  ring_doorbell(mailbox);
}

}  // namespace

void post_mailbox_warning(SessionMailbox& mailbox, WarningCode code, SessionStage stage,
                          bool retryable) {
  if (mailbox.closed.load(std::memory_order_acquire)) return;
  auto guard = mailbox.warnings.try_lock();
  if (!guard) {
    count_lost_warning(mailbox);
    return;
  }
  if (guard->poisoned()) {
    count_lost_warning(mailbox);
    return;
  }
  WarningBook& book = **guard;
  const WarningKey key{code, stage};
  for (std::size_t i = 0; i < book.pending_count; ++i) {
    PendingWarning& warning = book.pending[i];
    if (warning.key != key) continue;
    if (warning.occurrences != std::numeric_limits<std::uint64_t>::max()) ++warning.occurrences;
    warning.retryable = warning.retryable || retryable;
    mailbox.occurrences_coalesced.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (book.pending_count == kMaxPendingWarningKeys) {
    mailbox.occurrences_overflowed.fetch_add(1, std::memory_order_relaxed);
    mailbox.key_admission_failures.fetch_add(1, std::memory_order_relaxed);
    book.notice_pending = true;
    ring_doorbell(mailbox);
    return;
  }
  // A new key rings no doorbell: it goes out at the consumer's next poll, which is at most one
  // wait period away.
  book.pending[book.pending_count++] = {key, 1, retryable};
}

void mark_metrics_dirty(SessionMailbox& mailbox) {
  if (mailbox.closed.load(std::memory_order_acquire)) return;
  mailbox.metrics_dirty.store(true, std::memory_order_release);
  ring_doorbell(mailbox);
}

void close_mailbox(SessionMailbox& mailbox, SessionTerminalRecord record) {
  mailbox.closed.store(true, std::memory_order_release);
  *mailbox.terminal.lock() = std::move(record);
  ring_doorbell(mailbox);
}

WarningCounters read_warning_counters(const SessionMailbox& mailbox) {
  return {mailbox.occurrences_coalesced.load(std::memory_order_relaxed),
          mailbox.occurrences_overflowed.load(std::memory_order_relaxed),
          mailbox.key_admission_failures.load(std::memory_order_relaxed)};
}

}  // namespace kestrune::engine
