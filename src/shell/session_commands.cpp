#include <utility>

#include "engine/engine.hpp"
#include "shell/active_session.hpp"
#include "shell/commands.hpp"
#include "shell/envelopes.hpp"
#include "shell/payloads.hpp"
#include "shell/session_config_from_payload.hpp"
#include "shell/session_error_object.hpp"
#include "shell/session_report_json.hpp"

namespace kestrune::shell {
namespace {

using nlohmann::json;

bool payload_is_empty(const CommandEnvelope& envelope, ShellContext& context) {
  if (decode_empty_payload(envelope.payload)) return true;
  respond_error(context, envelope.requestId, protocol_errors::kInvalidPayload);
  return false;
}

void respond_session_error(ShellContext& context, std::string_view requestId,
                           const engine::SessionError& error) {
  (void)context.queue->push(build_session_error_response(requestId, error));
}

constexpr engine::SessionError kBusy = engine::SessionError::of(
    engine::SessionErrorKind::session_busy, engine::SessionStage::acquire_lease);

}  // namespace

DispatchOutcome run_start_session(const CommandEnvelope& envelope, ShellContext& context) {
  auto payload = decode_start_session_payload(envelope.payload);
  if (!payload) {
    respond_error(context, envelope.requestId, payload.error());
    return DispatchOutcome::keep_running;
  }
  // The busy check comes before the conversion: a busy slot refuses even a payload that would not
  // convert.
  if (context.session) {
    respond_session_error(context, envelope.requestId, kBusy);
    return DispatchOutcome::keep_running;
  }
  auto config = session_config_from_payload(std::move(*payload));
  if (!config) {
    respond_error(context, envelope.requestId, config.error());
    return DispatchOutcome::keep_running;
  }
  auto started = context.start_session(std::move(*config));
  if (!started) {
    respond_session_error(context, envelope.requestId, started.error());
    return DispatchOutcome::keep_running;
  }

  auto snapshot = std::make_shared<SessionSnapshot>();
  auto [start_sender, start_receiver] = support::unbounded_channel<PumpStartSignal>();
  auto [ack_sender, ack_receiver] = support::unbounded_channel<TerminalAcknowledged>();
  auto pump = spawn_event_pump(std::move(start_receiver), std::move(started->events), context.queue,
                               snapshot, std::move(ack_sender));
  if (!pump) {
    (void)engine::stop_and_wait_session(started->handle);
    respond_error(context, envelope.requestId, protocol_errors::kEventPumpFailed);
    ack_receiver.close();
    start_sender.close();
    snapshot.reset();
    release_session_handle(std::move(started->handle));
    return DispatchOutcome::keep_running;
  }

  context.session.emplace(ActiveSession{std::move(ack_receiver), std::move(started->handle),
                                        std::move(snapshot), std::move(*pump)});
  json result = json::object();
  result["accepted"] = true;
  if (context.queue->push(build_success_response(envelope.requestId, std::move(result)))) {
    // Only now may the session's events follow the response.
    (void)start_sender.send(PumpStartSignal{});
    start_sender.close();
  } else {
    // The pump ends without taking any event; nobody will read the session's lines.
    start_sender.close();
    (void)stop_active_session(context.session);
  }
  return DispatchOutcome::keep_running;
}

DispatchOutcome run_stop_session(const CommandEnvelope& envelope, ShellContext& context) {
  if (!payload_is_empty(envelope, context)) return DispatchOutcome::keep_running;
  if (!context.session) {
    respond_error(context, envelope.requestId, protocol_errors::kNoActiveSession);
    return DispatchOutcome::keep_running;
  }
  // The stop and both joins come first, so the session's "terminal" precedes this response.
  const engine::SessionOutcome outcome = stop_active_session(context.session);
  if (!outcome) {
    respond_session_error(context, envelope.requestId, outcome.error());
    return DispatchOutcome::keep_running;
  }
  json result = json::object();
  result["stopped"] = true;
  result["metrics"] = metrics_to_json(*outcome);
  respond_success(context, envelope.requestId, std::move(result));
  return DispatchOutcome::keep_running;
}

DispatchOutcome run_set_volume(const CommandEnvelope& envelope, ShellContext& context) {
  const auto payload = decode_set_volume_payload(envelope.payload);
  if (!payload) {
    respond_error(context, envelope.requestId, payload.error());
    return DispatchOutcome::keep_running;
  }
  if (!context.session) {
    respond_error(context, envelope.requestId, protocol_errors::kNoActiveSession);
    return DispatchOutcome::keep_running;
  }
  const engine::SessionStatus set =
      engine::set_session_volume(context.session->handle, payload->volume);
  if (!set) {
    respond_session_error(context, envelope.requestId, set.error());
    return DispatchOutcome::keep_running;
  }
  json result = json::object();
  result["volume"] = static_cast<double>(payload->volume);  // the float the host's value became
  respond_success(context, envelope.requestId, std::move(result));
  return DispatchOutcome::keep_running;
}

DispatchOutcome run_get_state(const CommandEnvelope& envelope, ShellContext& context) {
  if (!payload_is_empty(envelope, context)) return DispatchOutcome::keep_running;
  json result = json::object();
  if (!context.session) {
    result["state"] = "idle";
    result["session"] = nullptr;
    respond_success(context, envelope.requestId, std::move(result));
    return DispatchOutcome::keep_running;
  }
  const ActiveSession& active = *context.session;
  const SessionSnapshotContent snapshot = read_session_snapshot(*active.snapshot);
  // Only the id comes from the snapshot; the state and metrics are read live.
  json session = json::object();
  session["sessionId"] = snapshot.sessionId ? json(*snapshot.sessionId) : json(nullptr);
  session["state"] = std::string(engine::wire_name(engine::session_state(active.handle)));
  session["metrics"] = metrics_to_json(engine::session_report_snapshot(active.handle));
  result["state"] = "active";
  result["session"] = std::move(session);
  respond_success(context, envelope.requestId, std::move(result));
  return DispatchOutcome::keep_running;
}

DispatchOutcome run_shutdown(const CommandEnvelope& envelope, ShellContext& context) {
  if (!payload_is_empty(envelope, context)) return DispatchOutcome::keep_running;
  if (context.session) {
    const engine::SessionOutcome outcome = stop_active_session(context.session);
    if (!outcome) {
      respond_session_error(context, envelope.requestId, outcome.error());
      return DispatchOutcome::shutdown_not_clean;
    }
  }
  json result = json::object();
  result["shuttingDown"] = true;
  respond_success(context, envelope.requestId, std::move(result));
  return DispatchOutcome::shutdown_clean;
}

}  // namespace kestrune::shell
