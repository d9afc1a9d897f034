#pragma once
// Writes diagnostic lines to a descriptor without ever waiting for it. Each line goes out whole,
// with one system call, or not at all: a line that cannot be written at once (the pipe is full,
// nobody reads it any more, the descriptor is closed) is dropped and counted, and the next line
// that can be written is preceded, in the same write, by one line saying how many were dropped:
//   "warning[stderr]: dropped_lines=N"
//
// The descriptor's own open file description is never changed; it is usually shared with the
// process that started this one. How a line goes out depends on what the descriptor is:
// - a pipe or FIFO, or a terminal: through a fresh non-blocking open of the same file
//   (/proc/self/fd/N), closed again after the line. A line of at most PIPE_BUF bytes is then
//   written whole or refused whole by the kernel; a longer line is tried only while the pipe is
//   empty and large enough to take it whole. When that open is not possible, a zero-timeout poll
//   must report room first, and a longer line again waits for an empty pipe.
// - a socket, or another character device (/dev/null): a zero-timeout poll, then a write or
//   send that does not wait.
// - anything else (a regular file): a plain write, which does not wait for room.
// A terminal or socket with less room than a line may still take part of it; that is the one
// case where a line can be cut. A pipe whose reader has gone never raises SIGPIPE: the signal is
// blocked on the writing thread for the write, and taken back.

#include <cstdint>
#include <mutex>
#include <string_view>

namespace kestrune::platform {

class LineWriter {
 public:
  // Writes to `fd`, which stays owned by the caller.
  explicit LineWriter(int fd) : fd_(fd) {}
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Writes `line` and a line feed, or drops and counts it. Never waits for the descriptor;
  // calls from several threads take turns, each holding the turn only for calls that do not
  // wait.
  void write_line(std::string_view line);

  // Counts `lines` more as dropped; the next written line reports them with the rest.
  void count_dropped(std::uint64_t lines);

 private:
  std::mutex mutex_;
  const int fd_;
  std::uint64_t dropped_ = 0;  // guarded by mutex_
};

}  // namespace kestrune::platform
