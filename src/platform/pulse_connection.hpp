#pragma once
// One connection to the sound server: a libpulse threaded main loop (its thread is the audio
// library's thread, on which every callback runs) and a context on it. Every wait for the server
// is bounded in time. Shared by a device and the streams built on it; the last owner's drop
// disconnects and ends the thread.

#include <pulse/pulseaudio.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "support/error.hpp"

namespace kestrune::platform {

// How long any one request to the sound server may take.
inline constexpr std::chrono::milliseconds kPulseRequestTimeout{5000};

// The parts of a sink the loopback capture needs.
struct PulseSink {
  std::string name;
  std::string description;
  std::string monitor_source;
  pa_sample_spec spec{};
};

class PulseConnection {
 public:
  // Connects to `server` (empty: libpulse's default, which honours PULSE_SERVER). A server is never
  // started for us.
  static support::Result<std::shared_ptr<PulseConnection>> open(const std::string& server);

  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;
  ~PulseConnection();

  // The server's default sink; nothing when it has none (or it vanished meanwhile).
  support::Result<std::optional<PulseSink>> default_sink();

  pa_context* context() const { return context_; }

  // The main loop's lock, which every libpulse call and every callback runs under.
  class Lock {
   public:
    explicit Lock(const PulseConnection& connection);
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    ~Lock();

   private:
    pa_threaded_mainloop* loop_;
  };

  // With the lock held: waits until `done()` holds or `timeout` passes; whether it holds. Callbacks
  // that change what `done` looks at call signal().
  template <class Done>
  bool wait_locked(Done done, std::chrono::milliseconds timeout);
  void signal() const { pa_threaded_mainloop_signal(loop_, 0); }

  // The context's last error as text.
  std::string last_error() const;

  // With the lock held: waits for an operation to end (cancelling it on timeout) and releases it;
  // whether it ended in time.
  bool finish_operation(pa_operation* operation);

 private:
  PulseConnection() = default;
  support::Status connect(const std::string& server);
  // A timer on the main loop that sets `fired` and signals; free it with disarm_timer.
  pa_time_event* arm_timer(std::chrono::milliseconds timeout, bool& fired);
  void disarm_timer(pa_time_event* timer);

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  bool loop_running_ = false;
};

template <class Done>
bool PulseConnection::wait_locked(Done done, std::chrono::milliseconds timeout) {
  if (done()) return true;
  bool fired = false;
  pa_time_event* timer = arm_timer(timeout, fired);
  if (timer == nullptr) return false;
  // Each turn ends with a signal: a callback's, or the timer's at the latest.
  constexpr int kMaxTurns = 100000;
  for (int turn = 0; turn < kMaxTurns && !fired && !done(); ++turn) {
    pa_threaded_mainloop_wait(loop_);
  }
  disarm_timer(timer);
  return done();
}

}  // namespace kestrune::platform
