#include "shell/kestrune_main.hpp"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <variant>

#include "discovery/discovery_owner.hpp"
#include "shell/active_session.hpp"
#include "shell/capabilities.hpp"
#include "shell/dispatch.hpp"
#include "shell/envelopes.hpp"
#include "shell/input_line.hpp"
#include "shell/json_writer.hpp"
#include "shell/output_queue.hpp"
#include "shell/queue_discovery_output.hpp"
#include "shell/stdin_reader.hpp"
#include "support/channel.hpp"
#include "support/stderr_log.hpp"
#include "support/thread.hpp"

namespace kestrune::shell {
namespace {

constexpr std::size_t kLineChannelCapacity = 32;
constexpr std::chrono::milliseconds kLineWait{50};

// Why the loop ended, and whether everything it stopped ended well.
struct ShutdownRecord {
  std::string_view reason;  // "command", "stdin_eof" or "stdout_closed"
  bool clean;
};

// A start-up thread could not be created: nothing is joined and nothing more is written.
[[noreturn]] void exit_process_lifecycle_failed() {
  support::write_stderr_line("error[kestrune]: process lifecycle failed");
  std::_Exit(1);
}

// A host that closes its end of standard output must show up as a failed write, not a signal.
void ignore_broken_pipe_signal() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  (void)sigaction(SIGPIPE, &action, nullptr);
}

// Reaps the session in the slot if its event pump has acknowledged the terminal event.
void reap_if_acknowledged(ActiveSessionSlot& slot) {
  if (slot && slot->acknowledgement.try_recv()) reap_finished_session(slot);
}

// A line that arrives while the session is stopped but not yet reaped waits for the reap, so it
// is judged against an empty slot. False when the line is to be discarded: the output closed
// while waiting (the next turn shuts down), or the event pump ended without acknowledging; the
// session is then reaped all the same, so that the lines after it are handled again.
bool wait_for_stopped_session(ShellContext& context) {
  ActiveSessionSlot& slot = context.session;
  reap_if_acknowledged(slot);
  while (slot && active_session_stopped(*slot)) {
    auto acknowledged = slot->acknowledgement.recv_timeout(kLineWait);
    if (acknowledged) {
      reap_finished_session(slot);
      return true;
    }
    if (acknowledged.error() == support::RecvError::disconnected) {
      reap_finished_session(slot);
      return false;
    }
    if (output_closed(context.queue)) return false;
  }
  return true;
}

ShutdownRecord run_command_loop(ShellContext& context, support::Receiver<InputLine>& lines) {
  ActiveSessionSlot& slot = context.session;
  for (;;) {
    if (output_closed(context.queue)) {
      if (slot) (void)stop_active_session(slot);
      return {"stdout_closed", false};
    }
    reap_if_acknowledged(slot);

    auto received = lines.recv_timeout(kLineWait);
    if (!received && received.error() == support::RecvError::timeout) continue;
    // A closed line channel means the reader has ended: the same as the end of input.
    InputLine line = received ? std::move(*received) : InputLine{EndOfInput{}};

    if (!wait_for_stopped_session(context)) continue;

    if (std::holds_alternative<ReadError>(line)) {
      if (slot) (void)stop_active_session(slot);
      return {"stdin_eof", false};
    }
    if (std::holds_alternative<EndOfInput>(line)) {
      const bool clean = !slot || stop_active_session(slot) == SessionEnd::report;
      return {"stdin_eof", clean};
    }
    if (std::holds_alternative<TooLarge>(line)) {
      (void)push_output(context.queue,
                        build_protocol_error_response(std::nullopt,
                                                      protocol_errors::kInputTooLarge));
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

nlohmann::json shutdown_complete_event(const ShutdownRecord& record) {
  nlohmann::json payload = nlohmann::json::object();
  payload["reason"] = std::string(record.reason);
  payload["clean"] = record.clean;
  return build_event("shutdownComplete", std::move(payload));
}

}  // namespace

int kestrune_main() {
  ignore_broken_pipe_signal();

  auto queue = std::make_shared<OutputQueue>();
  auto writer = support::spawn_named("kestrune-json-writer",
                                     [queue] { run_json_writer(*queue, STDOUT_FILENO); });
  if (!writer) exit_process_lifecycle_failed();

  auto discovery = discovery::spawn_discovery_owner(std::make_shared<QueueDiscoveryOutput>(queue));
  if (!discovery) {
    writer->release();
    exit_process_lifecycle_failed();
  }

  if (!push_output(*queue, build_event("ready", ready_payload()))) {
    finish_output(*queue);
    (void)writer->join();
    drop_discovery_owner(*discovery);
    return 0;
  }

  auto [line_sender, line_receiver] = support::channel<InputLine>(kLineChannelCapacity);
  auto reader = support::spawn_named(
      "kestrune-stdin-reader", [lines = std::move(line_sender)]() mutable {
        run_stdin_reader(std::move(lines), STDIN_FILENO);
      });
  if (!reader) {
    line_receiver.close();
    drop_discovery_owner(*discovery);
    writer->release();
    exit_process_lifecycle_failed();
  }

  ActiveSessionSlot session;
  ShellContext context{*queue, *discovery, session};
  const ShutdownRecord record = run_command_loop(context, line_receiver);

  stop_discovery_owner(*discovery);
  if (!output_closed(*queue)) (void)push_output(*queue, shutdown_complete_event(record));
  finish_output(*queue);
  (void)writer->join();  // a writer that ended by a failure is ignored
  if (session) drop_active_session(std::move(*session));
  session.reset();
  reader->release();  // the reader may still be blocked in a read; it is never joined
  line_receiver.close();
  drop_discovery_owner(*discovery);
  return 0;
}

}  // namespace kestrune::shell
