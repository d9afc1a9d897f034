#pragma once
// The main thread's command loop, until a shutdown reason is fixed. Each turn: a closed output
// ends the loop ("stdout_closed"); a session whose event pump acknowledged its terminal event is
// reaped; then a line is awaited for at most 50 ms. A line that finds the session in the slot
// stopped waits for that acknowledgement and the reap, so it is judged against an empty slot.
// End of input (or a closed line channel) and a read error stop the active session and end the
// loop ("stdin_eof"); a shutdown command ends it ("command"). `clean` says whether everything
// stopped ended well. The process lifecycle around it is kestrune_main.

#include <string_view>

#include "shell/dispatch.hpp"
#include "shell/input_line.hpp"
#include "support/channel.hpp"

namespace kestrune::shell {

struct ShutdownRecord {
  std::string_view reason;  // "command", "stdin_eof" or "stdout_closed"
  bool clean;
};

ShutdownRecord run_command_loop(ShellContext& context, support::Receiver<InputLine>& lines);

}  // namespace kestrune::shell
