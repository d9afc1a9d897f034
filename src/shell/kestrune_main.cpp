#include "shell/kestrune_main.hpp"

#include "support/stderr_log.hpp"

namespace kestrune::shell {

// Start-up scaffold: the host protocol arrives with the shell.
int kestrune_main() {
  support::write_stderr_line("error[kestrune]: process lifecycle failed");
  return 1;
}

}  // namespace kestrune::shell
