#include "shell/kestrune_main.hpp"

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "discovery/discovery.hpp"
#include "engine/engine.hpp"
#include "platform/std_streams.hpp"
#include "platform/stderr_log.hpp"
#include "platform/thread_name.hpp"
#include "shell/active_session.hpp"
#include "shell/capabilities.hpp"
#include "shell/command_loop.hpp"
#include "shell/dispatch.hpp"
#include "shell/envelopes.hpp"
#include "shell/input_line.hpp"
#include "shell/json_writer.hpp"
#include "shell/output_queue.hpp"
#include "shell/queue_discovery_output.hpp"
#include "shell/stdin_reader.hpp"
#include "support/channel.hpp"
#include "support/thread.hpp"

namespace kestrune::shell {
namespace {

constexpr std::size_t kLineChannelCapacity = 32;

// A start-up thread could not be created: nothing is joined and nothing more is written.
[[noreturn]] void exit_process_lifecycle_failed() {
  platform::write_stderr_line("error[kestrune]: process lifecycle failed");
  std::_Exit(1);
}

nlohmann::json shutdown_complete_event(const ShutdownRecord& record) {
  nlohmann::json payload = nlohmann::json::object();
  payload["reason"] = std::string(record.reason);
  payload["clean"] = record.clean;
  return build_event("shutdownComplete", std::move(payload));
}

}  // namespace

int kestrune_main() {
  // A standard stream that the host left closed must stay unusable. Left free, its descriptor
  // would be the next one the process opens: the first socket to a receiver would then carry
  // protocol or diagnostic lines, or be read as standard input. Held, a read of standard input
  // still sees the end of input and the writer a closed output.
  platform::hold_closed_standard_streams();
  // A host that closes its end of standard output must show up as a failed write, not a signal.
  platform::ignore_broken_pipe_signal();
  // Before "ready": the first session's pairing then starts with the crypto library warm.
  engine::warm_up_session_crypto();

  auto queue = std::make_shared<OutputQueue>();
  auto writer = platform::spawn_named(
      "kestrune-json-writer", [queue] { run_json_writer(*queue, platform::kStandardOutput); });
  if (!writer) exit_process_lifecycle_failed();

  auto discovery = discovery::spawn_discovery_owner(std::make_shared<QueueDiscoveryOutput>(queue));
  if (!discovery) {
    writer->release();
    exit_process_lifecycle_failed();
  }

  if (!queue->push(build_event("ready", ready_payload()))) {
    queue->finish();
    (void)writer->join();
    drop_discovery_owner(*discovery);
    return 0;
  }

  auto [line_sender, line_receiver] = support::channel<InputLine>(kLineChannelCapacity);
  auto reader =
      platform::spawn_named("kestrune-stdin-reader", [lines = std::move(line_sender)]() mutable {
        run_stdin_reader(std::move(lines), platform::kStandardInput);
      });
  if (!reader) {
    line_receiver.close();
    drop_discovery_owner(*discovery);
    writer->release();
    exit_process_lifecycle_failed();
  }

  ActiveSessionSlot session;
  // Every session of the process runs with the production runner: the managed session with
  // loopback capture from the sound server.
  ShellContext context{queue, *discovery, session, engine::start_session};
  const ShutdownRecord record = run_command_loop(context, line_receiver);

  stop_discovery_owner(*discovery);
  if (!queue->closed()) (void)queue->push(shutdown_complete_event(record));
  queue->finish();
  (void)writer->join();  // a writer that ended by a failure is ignored
  if (session) drop_active_session(std::move(*session));
  session.reset();
  reader->release();  // the reader may still be blocked in a read; it is never joined
  line_receiver.close();
  drop_discovery_owner(*discovery);
  return 0;
}

}  // namespace kestrune::shell
