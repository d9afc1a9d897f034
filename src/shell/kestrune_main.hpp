#pragma once
// The whole life of the process: start-up (output queue and writer, discovery owner, "ready",
// stdin reader), the command loop on the calling thread, and shutdown in a fixed order ending
// with "shutdownComplete". Returns 0 after every orderly shutdown; when a start-up thread cannot
// be created it writes "error[kestrune]: process lifecycle failed" to standard error and ends
// the process at once with exit code 1. A standard stream the host left closed stays missing
// (standard input at its end, standard output closed) but keeps its descriptor, so no socket of
// the process ever takes it.

namespace kestrune::shell {

int kestrune_main();

}  // namespace kestrune::shell
