#include <utility>

#include "shell/commands.hpp"
#include "shell/payloads.hpp"
#include "shell/session_config_from_payload.hpp"

namespace kestrune::shell {
namespace {

using nlohmann::json;

bool payload_is_empty(const CommandEnvelope& envelope, ShellContext& context) {
  if (decode_empty_payload(envelope.payload)) return true;
  respond_error(context, envelope.requestId, protocol_errors::kInvalidPayload);
  return false;
}

}  // namespace

DispatchOutcome run_start_session(const CommandEnvelope& envelope, ShellContext& context) {
  const auto payload = decode_start_session_payload(envelope.payload);
  if (!payload) {
    respond_error(context, envelope.requestId, payload.error());
    return DispatchOutcome::keep_running;
  }
  // Once sessions can be active, a busy slot is refused here, before the conversion.
  const auto settings = start_session_settings_from_payload(*payload);
  if (!settings) {
    respond_error(context, envelope.requestId, settings.error());
    return DispatchOutcome::keep_running;
  }
  // The session engine is not part of this build yet: a configuration that passed every check
  // the shell makes cannot be started, and the host is told so without a session existing.
  respond_error(context, envelope.requestId, protocol_errors::kEventPumpFailed);
  return DispatchOutcome::keep_running;
}

DispatchOutcome run_stop_session(const CommandEnvelope& envelope, ShellContext& context) {
  if (!payload_is_empty(envelope, context)) return DispatchOutcome::keep_running;
  // No session can be active before the session engine is part of the build.
  respond_error(context, envelope.requestId, protocol_errors::kNoActiveSession);
  return DispatchOutcome::keep_running;
}

DispatchOutcome run_set_volume(const CommandEnvelope& envelope, ShellContext& context) {
  const auto payload = decode_set_volume_payload(envelope.payload);
  if (!payload) {
    respond_error(context, envelope.requestId, payload.error());
    return DispatchOutcome::keep_running;
  }
  // No session can be active before the session engine is part of the build.
  respond_error(context, envelope.requestId, protocol_errors::kNoActiveSession);
  return DispatchOutcome::keep_running;
}

DispatchOutcome run_get_state(const CommandEnvelope& envelope, ShellContext& context) {
  if (!payload_is_empty(envelope, context)) return DispatchOutcome::keep_running;
  json result = json::object();
  result["state"] = "idle";
  result["session"] = nullptr;
  respond_success(context, envelope.requestId, std::move(result));
  return DispatchOutcome::keep_running;
}

DispatchOutcome run_shutdown(const CommandEnvelope& envelope, ShellContext& context) {
  if (!payload_is_empty(envelope, context)) return DispatchOutcome::keep_running;
  bool clean = true;
  if (context.session) clean = stop_active_session(context.session) == SessionEnd::report;
  json result = json::object();
  result["shuttingDown"] = true;
  respond_success(context, envelope.requestId, std::move(result));
  return clean ? DispatchOutcome::shutdown_clean : DispatchOutcome::shutdown_not_clean;
}

}  // namespace kestrune::shell
