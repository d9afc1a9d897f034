#pragma once
// Standard error carries one diagnostic per line. Lines go out through a LineWriter on file
// descriptor 2: each whole with one write, so lines from different threads never interleave, and
// none ever waits for the reader of standard error. A line that cannot go out at once is dropped
// and counted (see line_writer.hpp).

#include <cstddef>
#include <string_view>

namespace kestrune::platform {

// Writes `line` followed by a line feed to file descriptor 2, or drops and counts it; while a
// DeferredStderr lives on the calling thread, the line is kept for its end instead.
void write_stderr_line(std::string_view line);

// Keeps the lines this thread writes to standard error while it lives, and writes them, in
// order, when it ends (the outermost one, when they nest). Made before a lock that other threads
// need is taken, it ends after the lock is let go, so the lines written under the lock go out
// with no lock held. At most kMaxDeferredStderrLines are kept: past that, the newest line
// replaces the last one kept, and the lines so lost are counted as dropped (reported with the
// last line).
class DeferredStderr {
 public:
  DeferredStderr();
  ~DeferredStderr();
  DeferredStderr(const DeferredStderr&) = delete;
  DeferredStderr& operator=(const DeferredStderr&) = delete;
};

inline constexpr std::size_t kMaxDeferredStderrLines = 64;

}  // namespace kestrune::platform
