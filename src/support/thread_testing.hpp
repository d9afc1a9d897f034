#pragma once
// A test seam of spawn_thread, for the paths taken when a thread cannot be created. Compiled into
// the support library; included only by tests.

#include <string>

namespace kestrune::support {

// Makes every later spawn whose name equals `name` fail as if the OS had refused the thread
// (empty: none).
void inject_spawn_failure_for_testing(std::string name);

}  // namespace kestrune::support
