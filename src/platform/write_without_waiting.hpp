#pragma once
// One write to a descriptor that never waits for it: the bytes go out whole, with one system
// call, or not at all (the pipe is full, nobody reads it any more, the descriptor is closed).
//
// The descriptor's own open file description is never changed; it is usually shared with the
// process that started this one. How the bytes go out depends on what the descriptor is:
// - a pipe or FIFO, or a terminal: through a fresh non-blocking open of the same file
//   (/proc/self/fd/N), closed again after the write. At most PIPE_BUF bytes are then written
//   whole or refused whole by the kernel; more are tried only while the pipe is empty and large
//   enough to take them whole. When that open is not possible, a zero-timeout poll must report
//   room first, and more than PIPE_BUF bytes again wait for an empty pipe.
// - a socket, or another character device (/dev/null): a zero-timeout poll, then a write or
//   send that does not wait.
// - anything else (a regular file): a plain write, which does not wait for room.
// A terminal or socket with less room than the bytes may still take part of them; that is the
// one case where they can be cut. A pipe whose reader has gone never raises SIGPIPE: the signal
// is blocked on the writing thread for the write, and taken back.

#include <string_view>

namespace kestrune::platform {

// Writes `bytes` to `fd`, which stays owned by the caller, as above: true when every byte went
// out, false when the write was refused or cut.
bool write_without_waiting(int fd, std::string_view bytes);

}  // namespace kestrune::platform
