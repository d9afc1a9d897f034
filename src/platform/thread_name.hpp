#pragma once
// Thread names in the OS, and the spawn every thread of the program goes through. The OS name is
// the first 15 bytes of the thread's name (the Linux limit); the full name is kept for messages.
// A thread that ends abnormally says so in one line on standard error; every thread zeroes the
// stack it gave up before it ends.

#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "platform/stack_wipe.hpp"
#include "platform/stderr_log.hpp"
#include "support/error.hpp"
#include "support/thread.hpp"

namespace kestrune::platform {

// Sets the calling thread's OS name to the first 15 bytes of `name`.
void set_current_thread_name(std::string_view name);

// support::spawn_thread with the OS name set as above, abnormal ends written to standard error,
// and the stack the thread gave up wiped before it ends (platform/stack_wipe.hpp).
template <class F>
auto spawn_named(std::string name, F body)
    -> support::Result<support::JoinHandle<std::invoke_result_t<F>>> {
  return support::spawn_thread(
      std::move(name),
      support::ThreadEnvironment{&set_current_thread_name, &write_stderr_line, &wipe_unused_stack},
      std::move(body));
}

}  // namespace kestrune::platform
