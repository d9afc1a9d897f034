#pragma once
// Writes diagnostic lines to a descriptor without ever waiting for it. Each line goes out whole,
// with one system call, or not at all: a line that cannot be written at once (the pipe is full,
// nobody reads it any more, the descriptor is closed) is dropped and counted, and the next line
// that can be written is preceded, in the same write, by one line saying how many were dropped:
//   "warning[stderr]: dropped_lines=N"
//
// Each kind of descriptor is written as write_without_waiting.hpp describes.

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
