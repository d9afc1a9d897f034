#include "shell/command_loop.hpp"

#include <chrono>
#include <optional>
#include <utility>
#include <variant>

#include "engine/engine.hpp"
#include "shell/active_session.hpp"
#include "shell/envelopes.hpp"
#include "shell/output_queue.hpp"

namespace kestrune::shell {
namespace {

constexpr std::chrono::milliseconds kLineWait{50};

// Reaps the session in the slot if its event pump has acknowledged the terminal event.
void reap_if_acknowledged(ActiveSessionSlot& slot) {
  if (slot && slot->acknowledgement.try_recv()) reap_finished_session(slot);
}

bool slot_session_stopped(const ActiveSessionSlot& slot) {
  return slot && engine::session_state(slot->handle) == engine::SessionState::stopped;
}

// A line that arrives while the session is stopped but not yet reaped waits for the reap. False
// when the line is to be discarded: the output closed while waiting (the next turn shuts down),
// or the event pump ended without acknowledging. In that last case the session is reaped all the
// same (it is stopped, so the wait is short); left in the slot, it would make every later line,
// end of input included, be discarded without end.
bool wait_for_stopped_session(ShellContext& context) {
  ActiveSessionSlot& slot = context.session;
  reap_if_acknowledged(slot);
  while (slot_session_stopped(slot)) {
    auto acknowledged = slot->acknowledgement.recv_timeout(kLineWait);
    if (acknowledged) {
      reap_finished_session(slot);
      return true;
    }
    if (acknowledged.error() == support::RecvError::disconnected) {
      reap_finished_session(slot);
      return false;
    }
    if (context.queue->closed()) return false;
  }
  return true;
}

// Stops the session in the slot, if any; whether it ended with its report (or there was none).
bool stop_if_active(ActiveSessionSlot& slot) {
  if (!slot) return true;
  return stop_active_session(slot).has_value();
}

}  // namespace

ShutdownRecord run_command_loop(ShellContext& context, support::Receiver<InputLine>& lines) {
  ActiveSessionSlot& slot = context.session;
  for (;;) {
    if (context.queue->closed()) {
      (void)stop_if_active(slot);
      return {"stdout_closed", false};
    }
    reap_if_acknowledged(slot);

    auto received = lines.recv_timeout(kLineWait);
    if (!received && received.error() == support::RecvError::timeout) continue;
    // A closed line channel means the reader has ended: the same as the end of input.
    InputLine line = received ? std::move(*received) : InputLine{EndOfInput{}};

    if (!wait_for_stopped_session(context)) continue;

    if (std::holds_alternative<ReadError>(line)) {
      (void)stop_if_active(slot);
      return {"stdin_eof", false};
    }
    if (std::holds_alternative<EndOfInput>(line)) return {"stdin_eof", stop_if_active(slot)};
    if (std::holds_alternative<TooLarge>(line)) {
      (void)context.queue->push(
          build_protocol_error_response(std::nullopt, protocol_errors::kInputTooLarge));
      continue;
    }
    switch (handle_command_line(std::get<Line>(line).bytes, context)) {
      case DispatchOutcome::keep_running:
        continue;
      case DispatchOutcome::shutdown_clean:
        return {"command", true};
      case DispatchOutcome::shutdown_not_clean:
        return {"command", false};
    }
  }
}

}  // namespace kestrune::shell
