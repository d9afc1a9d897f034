#include "shell/json_writer.hpp"

#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>
#include <poll.h>
#include <unistd.h>

#include "shell/json_line.hpp"
#include "support/stderr_log.hpp"

namespace kestrune::shell {
namespace {

constexpr std::size_t kWriterBufferBytes = 8192;
constexpr int kInterruptedWriteRetries = 1000;

// Writes every byte; false on the first failure (EPIPE once the host has closed its end). A host
// may hand over a non-blocking pipe: while it is full, the write waits for room as a blocking
// one would, since nothing has failed.
bool write_all(int fd, std::string_view bytes) {
  int interrupted = 0;
  while (!bytes.empty()) {
    const ssize_t wrote = ::write(fd, bytes.data(), bytes.size());
    if (wrote > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(wrote));
    } else if (wrote < 0 && errno == EINTR && interrupted++ < kInterruptedWriteRetries) {
      continue;
    } else if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd writable{fd, POLLOUT, 0};
      if (::poll(&writable, 1, -1) < 0 && errno != EINTR) return false;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

void run_json_writer(OutputQueue& queue, int fd) {
  std::string line;
  line.reserve(kWriterBufferBytes);
  while (auto value = queue.pop()) {
    line.clear();
    serialize_json_line(*value, line);
    line.push_back('\n');
    if (!write_all(fd, line)) {
      queue.close();
      support::write_stderr_line(kWriterUnavailableLine);
      return;
    }
    // Lines go out unbuffered, one write each, so every line reaches the host as soon as it is
    // taken and there is nothing left to flush when the queue ends.
  }
}

}  // namespace kestrune::shell
