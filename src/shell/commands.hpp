#pragma once
// The commands that dispatch_command runs. Each decodes its payload, answers a payload that does
// not decode with "The command payload is invalid.", and otherwise runs and pushes its one
// response.

#include "shell/dispatch.hpp"

namespace kestrune::shell {

// Answered by dispatch itself.
DispatchOutcome run_hello(const CommandEnvelope& envelope, ShellContext& context);
DispatchOutcome run_get_capabilities(const CommandEnvelope& envelope, ShellContext& context);
DispatchOutcome run_diagnose(const CommandEnvelope& envelope, ShellContext& context);
DispatchOutcome run_export_diagnostics(const CommandEnvelope& envelope, ShellContext& context);

// The session and shutdown commands.
DispatchOutcome run_start_session(const CommandEnvelope& envelope, ShellContext& context);
DispatchOutcome run_stop_session(const CommandEnvelope& envelope, ShellContext& context);
DispatchOutcome run_set_volume(const CommandEnvelope& envelope, ShellContext& context);
DispatchOutcome run_get_state(const CommandEnvelope& envelope, ShellContext& context);
DispatchOutcome run_shutdown(const CommandEnvelope& envelope, ShellContext& context);

// The scan command.
DispatchOutcome run_scan(const CommandEnvelope& envelope, ShellContext& context);

}  // namespace kestrune::shell
