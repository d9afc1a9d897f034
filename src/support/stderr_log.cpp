#include "support/stderr_log.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace kestrune::support {

void write_stderr_line(std::string_view line) {
  std::string buffer;
  buffer.reserve(line.size() + 1);
  buffer.append(line);
  buffer.push_back('\n');
  const char* data = buffer.data();
  std::size_t left = buffer.size();
  // One call for the line; only an interrupted or partial write (a huge line) takes more.
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

}  // namespace kestrune::support
