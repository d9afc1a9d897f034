#include "platform/std_streams.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace kestrune::platform {
namespace {

static_assert(kStandardInput == STDIN_FILENO && kStandardOutput == STDOUT_FILENO);

// A read or write interrupted by a signal, or a read that found a non-blocking input empty, has
// not failed; it is tried again a bounded number of times.
constexpr int kInterruptedReadRetries = 1000;
constexpr int kInterruptedWriteRetries = 1000;

}  // namespace

StreamRead read_stream(int fd, std::span<char> into) {
  for (int attempt = 0; attempt <= kInterruptedReadRetries; ++attempt) {
    const ssize_t got = ::read(fd, into.data(), into.size());
    if (got > 0) return {StreamRead::Outcome::data, static_cast<std::size_t>(got)};
    if (got == 0 || errno == EBADF) return {StreamRead::Outcome::end, 0};  // EBADF: no stream
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // A non-blocking input with nothing in it yet has not failed: wait for input as a
      // blocking read would.
      pollfd readable{fd, POLLIN, 0};
      if (::poll(&readable, 1, -1) >= 0 || errno == EINTR) continue;
    }
    break;
  }
  return {StreamRead::Outcome::error, 0};
}

bool write_stream(int fd, std::string_view bytes) {
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

void hold_closed_standard_streams() {
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int held = ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
    if (held < 0 || held == fd) continue;  // the lowest free descriptor is normally fd itself
    (void)::dup2(held, fd);
    (void)::close(held);
  }
}

void ignore_broken_pipe_signal() {
  struct sigaction action{};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  (void)sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace kestrune::platform
