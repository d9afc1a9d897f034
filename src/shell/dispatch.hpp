#pragma once
// From a validated command line to the command that answers it. Every command line gets exactly
// one response on the output queue; a command runs to completion on the main thread.

#include <expected>
#include <functional>
#include <memory>
#include <string_view>

#include <nlohmann/json.hpp>

#include "discovery/discovery.hpp"
#include "engine/engine.hpp"
#include "shell/active_session.hpp"
#include "shell/command_envelope.hpp"
#include "shell/output_queue.hpp"
#include "shell/protocol_error.hpp"

namespace kestrune::shell {

// How startSession hands a configuration to the session core.
using SessionStarter = std::function<std::expected<engine::StartedSession, engine::SessionError>(
    engine::SessionConfig)>;

// What the main thread owns and lends to the command being run.
struct ShellContext {
  std::shared_ptr<OutputQueue> queue;
  discovery::DiscoveryOwner& discovery;
  ActiveSessionSlot& session;
  // Always given: the process gives engine::start_session, which runs every session with the
  // production runner (kestrune_main.cpp); most tests give one with a scripted runner.
  SessionStarter start_session;
};

enum class DispatchOutcome { keep_running, shutdown_clean, shutdown_not_clean };

// Finds the command by name (length first, then bytes; case matters), decodes its payload and
// runs it. Unknown names are answered without looking at the payload.
DispatchOutcome dispatch_command(CommandEnvelope envelope, ShellContext& context);

// Validates one line (without its line feed) and dispatches it, or answers its rejection.
DispatchOutcome handle_command_line(std::string_view bytes, ShellContext& context);

// The one response of a command, pushed as it is; the push's result is not looked at.
void respond_success(ShellContext& context, std::string_view requestId, nlohmann::json result);
void respond_error(ShellContext& context, std::string_view requestId, const ProtocolError& error);

}  // namespace kestrune::shell
