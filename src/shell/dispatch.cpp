#include "shell/dispatch.hpp"

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "shell/capabilities.hpp"
#include "shell/commands.hpp"
#include "shell/envelopes.hpp"
#include "shell/payloads.hpp"

namespace kestrune::shell {
namespace {

struct KnownCommand {
  std::string_view name;
  DispatchOutcome (*run)(const CommandEnvelope&, ShellContext&);
};

constexpr std::array<KnownCommand, 10> kKnownCommands{{
    {"hello", &run_hello},
    {"getCapabilities", &run_get_capabilities},
    {"startSession", &run_start_session},
    {"stopSession", &run_stop_session},
    {"setVolume", &run_set_volume},
    {"getState", &run_get_state},
    {"scan", &run_scan},
    {"shutdown", &run_shutdown},
    {"diagnose", &run_diagnose},
    {"exportDiagnostics", &run_export_diagnostics},
}};

const KnownCommand* find_command(std::string_view name) {
  for (const auto& known : kKnownCommands) {
    if (known.name.size() != name.size()) continue;
    if (std::memcmp(known.name.data(), name.data(), name.size()) == 0) return &known;
  }
  return nullptr;
}

// Commands whose payload must be {} and whose answer needs nothing else.
template <nlohmann::json (*Result)()>
DispatchOutcome run_empty_payload_command(const CommandEnvelope& envelope, ShellContext& context) {
  if (!decode_empty_payload(envelope.payload)) {
    respond_error(context, envelope.requestId, protocol_errors::kInvalidPayload);
  } else {
    respond_success(context, envelope.requestId, Result());
  }
  return DispatchOutcome::keep_running;
}

// Reserved commands: decoded fully, then refused; nothing of the payload is used.
template <class Payload, PayloadResult<Payload> (*Decode)(const nlohmann::json&)>
DispatchOutcome run_reserved_command(const CommandEnvelope& envelope, ShellContext& context) {
  respond_error(
      context, envelope.requestId,
      Decode(envelope.payload) ? protocol_errors::kNotAvailable : protocol_errors::kInvalidPayload);
  return DispatchOutcome::keep_running;
}

}  // namespace

void respond_success(ShellContext& context, std::string_view requestId, nlohmann::json result) {
  (void)context.queue->push(build_success_response(requestId, std::move(result)));
}

void respond_error(ShellContext& context, std::string_view requestId, const ProtocolError& error) {
  (void)context.queue->push(build_protocol_error_response(requestId, error));
}

DispatchOutcome run_hello(const CommandEnvelope& envelope, ShellContext& context) {
  return run_empty_payload_command<&hello_result>(envelope, context);
}

DispatchOutcome run_get_capabilities(const CommandEnvelope& envelope, ShellContext& context) {
  return run_empty_payload_command<&capabilities_to_json>(envelope, context);
}

DispatchOutcome run_diagnose(const CommandEnvelope& envelope, ShellContext& context) {
  return run_reserved_command<DiagnosePayload, &decode_diagnose_payload>(envelope, context);
}

DispatchOutcome run_export_diagnostics(const CommandEnvelope& envelope, ShellContext& context) {
  return run_reserved_command<ExportDiagnosticsPayload, &decode_export_diagnostics_payload>(
      envelope, context);
}

DispatchOutcome dispatch_command(CommandEnvelope envelope, ShellContext& context) {
  const KnownCommand* known = find_command(envelope.command);
  if (known == nullptr) {
    respond_error(context, envelope.requestId, protocol_errors::kUnknownCommand);
    return DispatchOutcome::keep_running;
  }
  return known->run(envelope, context);
}

DispatchOutcome handle_command_line(std::string_view bytes, ShellContext& context) {
  auto validated = validate_command_line(bytes);
  if (auto* rejection = std::get_if<LineRejection>(&validated)) {
    const std::optional<std::string_view> requestId =
        rejection->requestId ? std::optional<std::string_view>(*rejection->requestId)
                             : std::nullopt;
    (void)context.queue->push(build_protocol_error_response(requestId, rejection->error));
    return DispatchOutcome::keep_running;
  }
  return dispatch_command(std::get<CommandEnvelope>(std::move(validated)), context);
}

}  // namespace kestrune::shell
