#pragma once
// The thread "kestrune-stdin-reader": cuts standard input into lines of at most
// kMaxInputLineBytes and hands each to the main thread. The rest of an over-long line is read and
// thrown away up to its line feed, so a line never costs more memory than the bound.

#include <array>
#include <cstddef>

#include "shell/input_line.hpp"
#include "support/channel.hpp"

namespace kestrune::shell {

inline constexpr std::size_t kReaderBufferBytes = 8192;

class BoundedLineReader {
 public:
  // Reads from `fd`, which it does not own. A descriptor that is not open counts as ended.
  explicit BoundedLineReader(int fd) : fd_(fd) {}

  // The next line. A final line without a line feed is a Line; the call after it, and every call
  // after the end, gives EndOfInput. A failed read gives ReadError.
  InputLine read_bounded_line();

 private:
  int fd_;
  std::array<char, kReaderBufferBytes> buffer_{};
  std::size_t position_ = 0;  // first unread byte
  std::size_t filled_ = 0;    // end of the bytes read
};

// The reader thread's body: sends every line, waiting while the channel is full; ends after
// sending EndOfInput or ReadError, or when the receiving end is gone.
void run_stdin_reader(support::Sender<InputLine> lines, int fd);

}  // namespace kestrune::shell
