#pragma once
// The whole life of the process: start-up, the command loop, shutdown. Returns the exit code.

namespace kestrune::shell {

int kestrune_main();

}  // namespace kestrune::shell
