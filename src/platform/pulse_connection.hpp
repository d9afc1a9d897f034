#pragma once
// One connection to the sound server: a libpulse threaded main loop (its thread is the audio
// library's thread, on which every callback runs) and a context on it. Every wait for the server
// is bounded in time and watches the caller's stop flag, so a server that has stopped answering
// (frozen, say) holds a caller for at most the request timeout, and a stopped caller for about
// one poll. Shared by a device and the streams built on it; the last owner's drop disconnects and
// ends the thread without waiting for the server.

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/audio_device.hpp"
#include "support/error.hpp"

namespace kestrune::platform {

// How long any one request to the sound server may take.
inline constexpr std::chrono::milliseconds kPulseRequestTimeout{5000};
// How often a wait for the server looks at the caller's stop flag.
inline constexpr std::chrono::milliseconds kPulseStopPoll{20};

// How a wait for the server ended.
enum class PulseWait { done, timed_out, stopped };

// "timed out" or "stopped", for the error of a wait that did not end done.
const char* pulse_wait_failure(PulseWait end);

// The parts of a sink the loopback capture needs.
struct PulseSink {
  std::string name;
  std::string description;
  std::string monitor_source;
  pa_sample_spec spec{};
  pa_channel_map channel_map{};
};

class PulseConnection {
 public:
  // Connects to `server` (empty: libpulse's default, which honours PULSE_SERVER). A server is never
  // started for us.
  static support::Result<std::shared_ptr<PulseConnection>> open(const std::string& server,
                                                                StopFlag stop);

  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;
  ~PulseConnection();

  // The server's default sink; nothing when it has none (or it vanished meanwhile).
  support::Result<std::optional<PulseSink>> default_sink(StopFlag stop);

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

  // With the lock held: waits until `done()` holds, `timeout` passes or `stop` is set (looked at
  // every kPulseStopPoll). Callbacks that change what `done` looks at call signal().
  template <class Done>
  PulseWait wait_locked(Done done, std::chrono::milliseconds timeout, StopFlag stop);
  void signal() const { pa_threaded_mainloop_signal(loop_, 0); }

  // The context's last error as text.
  std::string last_error() const;

  // With the lock held: waits for an operation to end (cancelling it when the wait ends otherwise)
  // and releases it. A null operation (the request could not be made) counts as timed out.
  PulseWait finish_operation(pa_operation* operation, StopFlag stop);

 private:
  PulseConnection() = default;
  support::Status connect(const std::string& server, StopFlag stop);
  // A timer on the main loop that sets `fired` and signals; free it with disarm_timer.
  pa_time_event* arm_timer(std::chrono::milliseconds timeout, bool& fired);
  void disarm_timer(pa_time_event* timer);

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  bool loop_running_ = false;
};

template <class Done>
PulseWait PulseConnection::wait_locked(Done done, std::chrono::milliseconds timeout,
                                       StopFlag stop) {
  using Clock = std::chrono::steady_clock;
  const auto give_up = Clock::now() + timeout;
  // Each turn ends with a signal: a callback's, or the poll timer's at the latest, so the turns
  // are bounded by the timeout over the poll plus the callbacks' signals.
  constexpr int kMaxTurns = 100000;
  for (int turn = 0; turn < kMaxTurns; ++turn) {
    if (done()) return PulseWait::done;
    if (stop_requested(stop)) return PulseWait::stopped;
    const auto now = Clock::now();
    if (now >= give_up) return PulseWait::timed_out;
    bool fired = false;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(give_up - now);
    pa_time_event* timer = arm_timer(std::min(left, kPulseStopPoll), fired);
    if (timer == nullptr) return PulseWait::timed_out;
    pa_threaded_mainloop_wait(loop_);
    disarm_timer(timer);
  }
  return done() ? PulseWait::done : PulseWait::timed_out;
}

}  // namespace kestrune::platform
