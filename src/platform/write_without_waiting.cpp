#include "platform/write_without_waiting.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

namespace kestrune::platform {

namespace {

enum class Sent { whole, refused };

// One write or send of the whole line. Only a call interrupted before it wrote anything is made
// again (at most twice more); a call that took part of the line counts as refused, the line being
// cut.
Sent write_once(int fd, std::string_view bytes, bool socket) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const ssize_t written =
        socket ? ::send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
               : ::write(fd, bytes.data(), bytes.size());
    if (written >= 0) {
      return static_cast<std::size_t>(written) == bytes.size() ? Sent::whole : Sent::refused;
    }
    if (errno != EINTR) return Sent::refused;
  }
  return Sent::refused;
}

bool sigpipe_pending() {
  sigset_t pending;
  return ::sigpending(&pending) == 0 && ::sigismember(&pending, SIGPIPE) == 1;
}

// write_once into a pipe, with SIGPIPE blocked on this thread for the call: a pipe whose reader
// has gone refuses the line with EPIPE, and the signal that write raises is taken back, so the
// process does not end whatever it does with SIGPIPE.
Sent write_to_pipe(int fd, std::string_view bytes) {
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  sigset_t previous;
  if (::pthread_sigmask(SIG_BLOCK, &pipe_only, &previous) != 0) return Sent::refused;
  const bool pending_before = sigpipe_pending();
  const Sent sent = write_once(fd, bytes, false);
  if (!pending_before && sigpipe_pending()) {
    const timespec no_wait{};
    (void)::sigtimedwait(&pipe_only, nullptr, &no_wait);
  }
  (void)::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return sent;
}

// Whether a zero-timeout poll reports room, and no error (a pipe nobody reads any more reports
// one).
bool writable_now(int fd) {
  pollfd ready{fd, POLLOUT, 0};
  int result = -1;
  for (int attempt = 0; attempt < 3; ++attempt) {
    result = ::poll(&ready, 1, 0);
    if (result >= 0 || errno != EINTR) break;
  }
  return result == 1 && (ready.revents & POLLOUT) != 0 &&
         (ready.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
}

// A pipe takes a line of at most PIPE_BUF bytes atomically. A longer one is only taken whole when
// the pipe is empty and at least as large as the line.
bool pipe_takes_whole(int fd, std::size_t size) {
  if (size <= PIPE_BUF) return true;
  int queued = -1;
  if (::ioctl(fd, FIONREAD, &queued) != 0 || queued != 0) return false;
  const int capacity = ::fcntl(fd, F_GETPIPE_SZ);
  return capacity > 0 && static_cast<std::size_t>(capacity) >= size;
}

// A new open file description of the file behind `fd`, write-only and non-blocking; -1 when it
// cannot be opened.
int open_nonblocking(int fd) {
  char path[32];
  const int length = std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof path) return -1;
  return ::open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

Sent send_bytes(int fd, std::string_view bytes) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return Sent::refused;
  struct stat status{};
  if (::fstat(fd, &status) != 0) return Sent::refused;
  if (S_ISSOCK(status.st_mode)) {
    return writable_now(fd) ? write_once(fd, bytes, true) : Sent::refused;
  }
  const bool pipe = S_ISFIFO(status.st_mode);
  const bool terminal = S_ISCHR(status.st_mode) && ::isatty(fd) == 1;
  if (!pipe && !terminal) {
    // A regular file never waits for room; another character device is asked first.
    if (S_ISCHR(status.st_mode) && !writable_now(fd)) return Sent::refused;
    return write_once(fd, bytes, false);
  }
  if (const int own = open_nonblocking(fd); own >= 0) {
    Sent sent = Sent::refused;
    if (!pipe) {
      sent = write_once(own, bytes, false);
    } else if (pipe_takes_whole(own, bytes.size())) {
      sent = write_to_pipe(own, bytes);
    }
    ::close(own);
    return sent;
  }
  // No fresh description (no /proc, or no permission): room is asked for on the shared one. A
  // pipe that polls writable has at least one free page, so a line of PIPE_BUF bytes fits.
  if (!writable_now(fd)) return Sent::refused;
  if (!pipe) return write_once(fd, bytes, false);
  return pipe_takes_whole(fd, bytes.size()) ? write_to_pipe(fd, bytes) : Sent::refused;
}

}  // namespace

bool write_without_waiting(int fd, std::string_view bytes) {
  return send_bytes(fd, bytes) == Sent::whole;
}

}  // namespace kestrune::platform
