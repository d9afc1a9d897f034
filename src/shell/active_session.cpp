#include "shell/active_session.hpp"

#include <utility>

#include "platform/thread_name.hpp"

namespace kestrune::shell {
namespace {

// Joins the pump; its end, normal or not, is not looked at.
void join_event_pump(ActiveSession& session) {
  if (!session.pump) return;
  (void)session.pump->join();
  session.pump.reset();
}

ActiveSession take_from_slot(ActiveSessionSlot& slot) {
  ActiveSession session = std::move(*slot);
  slot.reset();
  return session;
}

}  // namespace

support::Result<support::JoinHandle<void>> spawn_event_pump(
    support::Receiver<PumpStartSignal> start, engine::SessionEventSource events,
    std::shared_ptr<OutputQueue> queue, std::shared_ptr<SessionSnapshot> snapshot,
    support::Sender<TerminalAcknowledged> acknowledgement) {
  CoreEventPumpInputs inputs{std::move(start), std::move(events), std::move(queue),
                             std::move(snapshot), std::move(acknowledgement)};
  return platform::spawn_named(kCoreEventsThreadName, [inputs = std::move(inputs)]() mutable {
    run_core_event_pump(std::move(inputs));
  });
}

engine::SessionOutcome stop_active_session(ActiveSessionSlot& slot) {
  ActiveSession session = take_from_slot(slot);
  engine::SessionOutcome outcome = engine::stop_and_wait_session(session.handle);
  join_event_pump(session);
  drop_active_session(std::move(session));
  return outcome;
}

void reap_finished_session(ActiveSessionSlot& slot) {
  ActiveSession session = take_from_slot(slot);
  (void)engine::wait_and_join_session(session.handle);
  join_event_pump(session);
  drop_active_session(std::move(session));
}

void drop_active_session(ActiveSession session) {
  release_session_handle(std::move(session.handle));
  if (session.pump) session.pump->release();
  session.pump.reset();
  session.acknowledgement.close();
  session.snapshot.reset();
}

void release_session_handle(engine::SessionHandle handle) { engine::drop_session_handle(handle); }

}  // namespace kestrune::shell
