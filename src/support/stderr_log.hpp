#pragma once
// Standard error carries one diagnostic per line. Each line goes out with a single write, so lines
// from different threads never interleave.

#include <string_view>

namespace kestrune::support {

// Writes `line` followed by a line feed to file descriptor 2. Failures are ignored: there is
// nowhere left to report them.
void write_stderr_line(std::string_view line);

}  // namespace kestrune::support
