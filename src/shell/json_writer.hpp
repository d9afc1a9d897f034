#pragma once
// The thread "kestrune-json-writer", the only code that writes standard output: each value taken
// from the OutputQueue becomes one compact JSON line, written out in full before the next value
// is taken. A failed write closes the queue and ends the thread after one line on standard error.

#include "shell/output_queue.hpp"

namespace kestrune::shell {

inline constexpr const char* kWriterUnavailableLine =
    "error[kestrune_stdout]: protocol writer unavailable";

// The writer thread's body, writing to `fd` (standard output in the process).
void run_json_writer(OutputQueue& queue, int fd);

}  // namespace kestrune::shell
