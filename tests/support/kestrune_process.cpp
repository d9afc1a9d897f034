#include "tests/support/kestrune_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <utility>

#include "tests/support/test_paths.hpp"
#include "tests/support/wait_until.hpp"

extern char** environ;

namespace kestrune::testing {
namespace {

using Clock = std::chrono::steady_clock;

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(left.count());
}

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

// Makes `write_fd` a one-page pipe and fills it with filler lines. Its flags are as they were
// after, so the child gets a blocking descriptor, as from a host.
void fill_one_page_pipe(int write_fd) {
  check(::fcntl(write_fd, F_SETPIPE_SZ, 4096) == 4096, "F_SETPIPE_SZ");
  std::string page;
  while (page.size() < 4096) {  // 64 lines of 64 bytes
    page.append(KestruneProcess::kFillerLine);
    page.push_back('\n');
  }
  check(page.size() == 4096, "filler size");
  const int flags = ::fcntl(write_fd, F_GETFL);
  check(::fcntl(write_fd, F_SETFL, flags | O_NONBLOCK) == 0, "O_NONBLOCK");
  check(::write(write_fd, page.data(), page.size()) == 4096, "fill");
  check(::write(write_fd, "x", 1) < 0 && errno == EAGAIN, "the pipe is full");
  check(::fcntl(write_fd, F_SETFL, flags) == 0, "flags back");
}

}  // namespace

KestruneProcess::KestruneProcess(Stdin stdin_kind, Network network, Output stdout_kind,
                                 Output stderr_kind) {
  // A closed child must show up as EPIPE in the test, never as a signal that ends the test.
  std::signal(SIGPIPE, SIG_IGN);

  int in[2], out[2], err[2], wake[2];
  check(::pipe2(in, O_CLOEXEC) == 0, "pipe");
  check(::pipe2(out, O_CLOEXEC) == 0, "pipe");
  check(::pipe2(err, O_CLOEXEC) == 0, "pipe");
  check(::pipe2(wake, O_CLOEXEC) == 0, "pipe");
  const bool one_page_stderr = stderr_kind == Output::full_unread ||
                               stderr_kind == Output::slow_reader ||
                               stderr_kind == Output::reader_gone;
  if (one_page_stderr) fill_one_page_pipe(err[1]);
  int child_stdin = in[0];
  int directory = -1;
  if (stdin_kind == Stdin::directory) {
    directory = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    check(directory >= 0, "open /");
    child_stdin = directory;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // A closed stream's pipe has no writer in the child, so the collector sees it end at once.
  const auto attach = [&](int fd, int child_fd, bool closed) {
    if (closed) {
      posix_spawn_file_actions_addclose(&actions, child_fd);
    } else {
      posix_spawn_file_actions_adddup2(&actions, fd, child_fd);
    }
  };
  attach(child_stdin, 0, stdin_kind == Stdin::closed);
  attach(out[1], 1, stdout_kind == Output::closed);
  attach(err[1], 2, stderr_kind == Output::closed);
  // The child starts with the default SIGPIPE action, whatever this process does with it.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

  std::string path = kestrune_binary_path();
  std::vector<char*> argv;
  // unshare replaces itself with kestrune, so the child's pid stays kestrune's.
  std::string unshare = "unshare", net = "--net", end_of_options = "--";
  if (network == Network::private_namespace) {
    argv = {unshare.data(), net.data(), end_of_options.data()};
  }
  argv.push_back(path.data());
  argv.push_back(nullptr);
  const int spawned = ::posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (directory >= 0) ::close(directory);
  if (spawned != 0) {
    errno = spawned;
    ::close(in[1]);
    ::close(out[0]);
    ::close(err[0]);
    ::close(wake[0]);
    ::close(wake[1]);
    check(false, "posix_spawn kestrune");
  }
  stdin_fd_ = in[1];
  // Writes never block past their time limit: a full pipe is waited for with poll.
  (void)::fcntl(stdin_fd_, F_SETFL, ::fcntl(stdin_fd_, F_GETFL) | O_NONBLOCK);
  stdout_fd_ = out[0];
  stderr_fd_ = err[0];
  if (stderr_kind == Output::full_unread) {
    unread_stderr_fd_ = std::exchange(stderr_fd_, -1);
  } else if (stderr_kind == Output::reader_gone) {
    close_fd(stderr_fd_);
  }
  slow_stderr_ = stderr_kind == Output::slow_reader;
  if (stderr_fd_ < 0) stderr_ended_ = true;
  wake_read_fd_ = wake[0];
  wake_write_fd_ = wake[1];
  collector_ = std::thread([this] { collect(); });
}

KestruneProcess::~KestruneProcess() {
  if (!exit_code_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    (void)wait_exit(std::chrono::milliseconds(10000));
  }
  close_fd(stdin_fd_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_requested_ = true;
  }
  (void)!::write(wake_write_fd_, "x", 1);
  if (collector_.joinable()) collector_.join();
  close_fd(wake_read_fd_);
  close_fd(wake_write_fd_);
  close_fd(unread_stderr_fd_);
}

void KestruneProcess::collect() {
  constexpr std::size_t kSlowBite = 256;
  constexpr auto kSlowPause = std::chrono::milliseconds(100);
  auto next_stderr_read = Clock::now();
  char buffer[65536];
  // Bounded: the loop ends when both pipes have ended or the destructor asks it to stop, and
  // the destructor first makes sure the child is gone.
  for (;;) {
    bool stop = false;
    bool close_out = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop = stop_requested_;
      close_out = close_stdout_requested_ && stdout_fd_ >= 0;
      if (stdout_fd_ < 0 && stderr_fd_ < 0) stop = true;
    }
    if (close_out) {
      close_fd(stdout_fd_);
      std::lock_guard<std::mutex> lock(mutex_);
      stdout_ended_ = true;
      changed_.notify_all();
    }
    if (stop) break;
    // A slow reader looks at standard error only once its pause is over.
    int timeout_ms = 100;
    bool read_stderr = true;
    if (slow_stderr_) {
      timeout_ms = std::clamp(remaining_ms(next_stderr_read), 1, 100);
      read_stderr = Clock::now() >= next_stderr_read;
    }
    pollfd fds[3] = {{stdout_fd_, POLLIN, 0},
                     {read_stderr ? stderr_fd_ : -1, POLLIN, 0},
                     {wake_read_fd_, POLLIN, 0}};
    const int ready = ::poll(fds, 3, timeout_ms);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    if (fds[2].revents != 0) {
      char drain[16];
      (void)!::read(wake_read_fd_, drain, sizeof drain);
    }
    for (int which = 0; which < 2; ++which) {
      if (fds[which].fd < 0 || fds[which].revents == 0) continue;
      int& fd = which == 0 ? stdout_fd_ : stderr_fd_;
      const bool slow = which == 1 && slow_stderr_;
      if (slow) next_stderr_read = Clock::now() + kSlowPause;
      const ssize_t got = ::read(fd, buffer, slow ? kSlowBite : sizeof buffer);
      std::lock_guard<std::mutex> lock(mutex_);
      if (got <= 0) {
        close_fd(fd);
        (which == 0 ? stdout_ended_ : stderr_ended_) = true;
      } else if (which == 0) {
        partial_stdout_.append(buffer, static_cast<std::size_t>(got));
        std::size_t start = 0;
        for (std::size_t feed; (feed = partial_stdout_.find('\n', start)) != std::string::npos;
             start = feed + 1) {
          lines_.push_back(partial_stdout_.substr(start, feed - start));
        }
        partial_stdout_.erase(0, start);
      } else {
        stderr_.append(buffer, static_cast<std::size_t>(got));
      }
      changed_.notify_all();
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  close_fd(stdout_fd_);
  close_fd(stderr_fd_);
  stdout_ended_ = stderr_ended_ = true;
  changed_.notify_all();
}

bool KestruneProcess::write(std::string_view bytes, std::chrono::milliseconds limit) {
  if (stdin_fd_ < 0) return false;
  const auto deadline = Clock::now() + limit;
  while (!bytes.empty()) {
    pollfd writable{stdin_fd_, POLLOUT, 0};
    const int ready = ::poll(&writable, 1, remaining_ms(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    if ((writable.revents & (POLLERR | POLLHUP)) != 0) return false;
    const ssize_t wrote = ::write(stdin_fd_, bytes.data(), bytes.size());
    if (wrote < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(wrote));
  }
  return true;
}

void KestruneProcess::close_stdin() { close_fd(stdin_fd_); }

std::optional<std::string> KestruneProcess::read_line(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, limit, [&] { return !lines_.empty() || stdout_ended_; });
  if (lines_.empty()) return std::nullopt;
  std::string line = std::move(lines_.front());
  lines_.pop_front();
  return line;
}

void KestruneProcess::close_stdout() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    close_stdout_requested_ = true;
  }
  (void)!::write(wake_write_fd_, "x", 1);
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::seconds(5), [&] { return stdout_ended_; });
}

std::optional<int> KestruneProcess::wait_exit(std::chrono::milliseconds limit) {
  if (exit_code_) return exit_code_;
  bool wait_failed = false;
  (void)wait_until(
      [&] {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
          exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        wait_failed = done < 0 && errno != EINTR;
        return exit_code_.has_value() || wait_failed;
      },
      limit);
  return exit_code_;
}

bool KestruneProcess::wait_collected(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return stdout_ended_ && stderr_ended_; });
}

std::vector<std::string> KestruneProcess::remaining_lines(std::chrono::milliseconds limit) {
  (void)wait_collected(limit);
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> lines(lines_.begin(), lines_.end());
  lines_.clear();
  return lines;
}

std::string KestruneProcess::stderr_text(std::chrono::milliseconds limit) {
  (void)wait_collected(limit);
  std::lock_guard<std::mutex> lock(mutex_);
  return stderr_;
}

std::optional<long> KestruneProcess::peak_resident_kib() const {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  std::string key;
  // Bounded by the size of the status file.
  while (status >> key) {
    if (key == "VmHWM:") {
      long kib = 0;
      if (status >> kib) return kib;
      return std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace kestrune::testing
