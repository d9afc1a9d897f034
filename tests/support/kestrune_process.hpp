#pragma once
// Runs the real kestrune binary with pipes on its standard streams, for process-level tests.
// Standard output is collected line by line and standard error as text by a background thread,
// so the child never blocks on a full pipe while the test writes. Every wait is bounded; the
// destructor kills a child that is still running.

#include <sys/types.h>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kestrune::testing {

class KestruneProcess {
 public:
  enum class Stdin {
    pipe,       // the test writes lines
    directory,  // a directory is the standard input: every read fails (EISDIR)
    closed,     // the child starts with descriptor 0 closed
  };

  enum class Network {
    inherited,  // the test's own network namespace
    // A fresh network namespace of the child's own (`unshare --net`, root only): no usable
    // interface address, so a scan browses nothing and sends nothing anywhere.
    private_namespace,
  };

  // Standard output and standard error: collected (read_line, stderr_text), or closed from the
  // start (the child's descriptor 1 or 2 is closed; nothing is collected).
  //
  // For standard error only, hosts that do not keep up: a pipe of 4 KiB (one page) that is full
  // of kFillerLine lines before the child starts, and then
  //   full_unread: is never read (its read end stays open; stderr_text is empty);
  //   slow_reader: is read 256 bytes every 100 ms (stderr_text has the filler first);
  //   reader_gone: has its read end closed once the child is started.
  enum class Output { pipe, closed, full_unread, slow_reader, reader_gone };
  static constexpr std::string_view kFillerLine =
      "filler-filler-filler-filler-filler-filler-filler-filler-filler-";  // 64 bytes with "\n"

  // Starts the kestrune binary of this build; throws std::runtime_error when it cannot.
  explicit KestruneProcess(Stdin stdin_kind = Stdin::pipe, Network network = Network::inherited,
                           Output stdout_kind = Output::pipe, Output stderr_kind = Output::pipe);
  ~KestruneProcess();
  KestruneProcess(const KestruneProcess&) = delete;
  KestruneProcess& operator=(const KestruneProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Writes all bytes to the child's standard input within the time limit; false when the pipe
  // is closed or the time runs out.
  bool write(std::string_view bytes,
             std::chrono::milliseconds limit = std::chrono::milliseconds(20000));
  bool write_line(std::string_view line) { return write(std::string(line) + "\n"); }

  // Closes our end of the child's standard input (the child sees end of input).
  void close_stdin();

  // The next complete line of standard output (without its line feed), or nothing when none
  // arrives within `limit` or the output has ended.
  std::optional<std::string> read_line(
      std::chrono::milliseconds limit = std::chrono::milliseconds(10000));

  // Stops reading standard output and closes our end of it, as a host that goes away would.
  void close_stdout();

  // Waits for the child to end: its exit code, 128 + the signal number when a signal ended it,
  // or nothing when it is still running after `limit`.
  std::optional<int> wait_exit(std::chrono::milliseconds limit = std::chrono::milliseconds(20000));

  // Once the child has ended: the lines of standard output not yet read, and all of standard
  // error (the collector is given up to `limit` to see both pipes end).
  std::vector<std::string> remaining_lines(
      std::chrono::milliseconds limit = std::chrono::milliseconds(5000));
  std::string stderr_text(std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

  // The child's peak resident memory in KiB (VmHWM), or nothing when it cannot be read.
  std::optional<long> peak_resident_kib() const;

 private:
  void collect();
  bool wait_collected(std::chrono::milliseconds limit);

  pid_t pid_ = -1;
  std::optional<int> exit_code_;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;  // owned by the collector once it runs
  int stderr_fd_ = -1;
  int unread_stderr_fd_ = -1;  // full_unread: held open, never read
  bool slow_stderr_ = false;
  int wake_read_fd_ = -1;
  int wake_write_fd_ = -1;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::string partial_stdout_;           // guarded by mutex_
  std::deque<std::string> lines_;        // guarded by mutex_
  std::string stderr_;                   // guarded by mutex_
  bool stdout_ended_ = false;            // guarded by mutex_
  bool stderr_ended_ = false;            // guarded by mutex_
  bool close_stdout_requested_ = false;  // guarded by mutex_
  bool stop_requested_ = false;          // guarded by mutex_
  std::thread collector_;
};

}  // namespace kestrune::testing
