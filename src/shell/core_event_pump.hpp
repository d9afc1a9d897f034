#pragma once
// A session's event pump, the thread "kestrune-core-events": it carries the session's events from
// its mailbox to the host as protocol events on the OutputQueue and keeps the session's snapshot
// current. It takes no event before startSession's start signal (which follows the queued
// `accepted` response), so no line of the session precedes that response. Once the terminal
// event is queued it sends the one acknowledgement that lets the main thread reap the session,
// and ends. It also ends, without acknowledging, when the start channel closes without a signal,
// when the queue refuses a line (finished or closed), or when it finds the output closed after a
// quiet wait of 250 ms.

#include <chrono>
#include <memory>

#include "engine/engine.hpp"
#include "shell/output_queue.hpp"
#include "shell/session_snapshot.hpp"
#include "support/channel.hpp"

namespace kestrune::shell {

inline constexpr char kCoreEventsThreadName[] = "kestrune-core-events";
inline constexpr std::chrono::milliseconds kCoreEventWait{250};

// startSession's go-ahead, sent at most once.
struct PumpStartSignal {};

// Sent once by the pump after the session's terminal event has been queued.
struct TerminalAcknowledged {};

struct CoreEventPumpInputs {
  support::Receiver<PumpStartSignal> start;
  engine::SessionEventSource events;
  std::shared_ptr<OutputQueue> queue;
  std::shared_ptr<SessionSnapshot> snapshot;
  support::Sender<TerminalAcknowledged> acknowledgement;
};

// The thread body.
void run_core_event_pump(CoreEventPumpInputs inputs);

// Queues the lines of one event; false when the queue refused them (finished or closed).
//   state       one "sessionState"; sets the snapshot's session id
//   warning     one "warning"; the overflow notice is a "warning" "event_mailbox_overflow"
//   metrics     one "metrics" into the queue's latest-value slot, replacing an unwritten one
//   terminal    "terminal" (completed), or "error" and "terminal" (failed) as one batch; drops
//               an unwritten "metrics" in the same step; sets the snapshot's session id
// The snapshot's lock is let go before any line is queued.
bool translate_core_event(const engine::SessionEvent& event, OutputQueue& queue,
                          SessionSnapshot& snapshot);

}  // namespace kestrune::shell
