#include "platform/pulse_connection.hpp"

#include <cstring>

#if defined(__SANITIZE_THREAD__)
#define KESTRUNE_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KESTRUNE_THREAD_SANITIZER 1
#endif
#endif

#if defined(KESTRUNE_THREAD_SANITIZER)
// libpulse is not built for ThreadSanitizer: it hands its own mutexes, its shared-memory ring
// buffers and the packets and tag structures it recycles through lock-free free lists from thread
// to thread through atomics the sanitizer cannot see, and the sanitizer would report that as races
// inside libpulse (between two connections of one process, say). Only reports from inside those
// functions are silenced; our code, including the callbacks libpulse makes, is still checked.
extern "C" const char* __tsan_default_suppressions() {
  return "race:pa_mutex_lock\nrace:pa_srbchannel_read\nrace:pa_srbchannel_write\n"
         "race:pa_tagstruct_\nrace:pa_packet_\n";
}
#endif

namespace kestrune::platform {

namespace {

void on_context_state(pa_context*, void* userdata) {
  static_cast<PulseConnection*>(userdata)->signal();
}

struct TimerTarget {
  pa_threaded_mainloop* loop;
  bool* fired;
};

std::string copy_text(const char* text) { return text == nullptr ? std::string() : text; }

}  // namespace

const char* pulse_wait_failure(PulseWait end) {
  return end == PulseWait::stopped ? "stopped" : "timed out";
}

PulseConnection::Lock::Lock(const PulseConnection& connection) : loop_(connection.loop_) {
  pa_threaded_mainloop_lock(loop_);
}

PulseConnection::Lock::~Lock() { pa_threaded_mainloop_unlock(loop_); }

support::Result<std::shared_ptr<PulseConnection>> PulseConnection::open(const std::string& server,
                                                                        StopFlag stop) {
  std::shared_ptr<PulseConnection> connection(new PulseConnection());
  if (auto connected = connection->connect(server, stop); !connected) {
    return support::fail(std::move(connected).error());
  }
  return connection;
}

support::Status PulseConnection::connect(const std::string& server, StopFlag stop) {
  loop_ = pa_threaded_mainloop_new();
  if (loop_ == nullptr) return support::fail("create the sound server main loop");
  context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "kestrune");
  if (context_ == nullptr) return support::fail("create the sound server context");
  pa_context_set_state_callback(context_, on_context_state, this);
  if (pa_threaded_mainloop_start(loop_) < 0) return support::fail("start the sound server thread");
  loop_running_ = true;

  Lock lock(*this);
  const char* address = server.empty() ? nullptr : server.c_str();
  if (pa_context_connect(context_, address, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return support::fail("connect to the sound server: " + last_error());
  }
  const PulseWait settled = wait_locked(
      [&] {
        const pa_context_state_t state = pa_context_get_state(context_);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
      },
      kPulseRequestTimeout, stop);
  if (settled != PulseWait::done) {
    return support::fail(std::string("connect to the sound server: ") +
                         pulse_wait_failure(settled));
  }
  if (pa_context_get_state(context_) != PA_CONTEXT_READY) {
    return support::fail("connect to the sound server: " + last_error());
  }
  return {};
}

PulseConnection::~PulseConnection() {
  if (context_ != nullptr) {
    if (loop_running_) pa_threaded_mainloop_lock(loop_);
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    if (loop_running_) pa_threaded_mainloop_unlock(loop_);
  }
  if (loop_ != nullptr) {
    if (loop_running_) pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
  }
}

std::string PulseConnection::last_error() const {
  return copy_text(pa_strerror(pa_context_errno(context_)));
}

pa_time_event* PulseConnection::arm_timer(std::chrono::milliseconds timeout, bool& fired) {
  // The target lives in the event itself: freed with it, so a timer that never fires leaks
  // nothing and points at nothing gone.
  auto* target = new TimerTarget{loop_, &fired};
  const auto usec = static_cast<pa_usec_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(timeout).count());
  pa_time_event* timer = pa_context_rttime_new(
      context_, pa_rtclock_now() + usec,
      [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
        auto* fired_target = static_cast<TimerTarget*>(userdata);
        *fired_target->fired = true;
        pa_threaded_mainloop_signal(fired_target->loop, 0);
      },
      target);
  if (timer == nullptr) {
    delete target;
    return nullptr;
  }
  pa_threaded_mainloop_get_api(loop_)->time_set_destroy(
      timer, [](pa_mainloop_api*, pa_time_event*, void* userdata) {
        delete static_cast<TimerTarget*>(userdata);
      });
  return timer;
}

void PulseConnection::disarm_timer(pa_time_event* timer) {
  pa_threaded_mainloop_get_api(loop_)->time_free(timer);
}

PulseWait PulseConnection::finish_operation(pa_operation* operation, StopFlag stop) {
  if (operation == nullptr) return PulseWait::timed_out;
  const PulseWait ended =
      wait_locked([&] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; },
                  kPulseRequestTimeout, stop);
  // A cancelled operation never calls back, so nothing points at the caller's answer afterwards.
  if (ended != PulseWait::done) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  return ended;
}

support::Result<std::optional<PulseSink>> PulseConnection::default_sink(StopFlag stop) {
  Lock lock(*this);

  struct ServerAnswer {
    PulseConnection* connection;
    bool answered = false;
    std::string default_sink;
  } server{this, false, {}};
  pa_operation* info = pa_context_get_server_info(
      context_,
      [](pa_context*, const pa_server_info* reply, void* userdata) {
        auto* answer = static_cast<ServerAnswer*>(userdata);
        if (reply != nullptr) {
          answer->answered = true;
          answer->default_sink = copy_text(reply->default_sink_name);
        }
        answer->connection->signal();
      },
      &server);
  if (const PulseWait asked = finish_operation(info, stop); asked != PulseWait::done) {
    return support::fail(std::string("ask the sound server: ") + pulse_wait_failure(asked));
  }
  if (!server.answered) return support::fail("ask the sound server: " + last_error());
  if (server.default_sink.empty()) return std::optional<PulseSink>();

  struct SinkAnswer {
    PulseConnection* connection;
    bool failed = false;
    std::optional<PulseSink> sink;
  } sink{this, false, std::nullopt};
  pa_operation* lookup = pa_context_get_sink_info_by_name(
      context_, server.default_sink.c_str(),
      [](pa_context*, const pa_sink_info* reply, int eol, void* userdata) {
        auto* answer = static_cast<SinkAnswer*>(userdata);
        if (eol < 0) answer->failed = true;
        if (reply != nullptr && !answer->sink) {
          answer->sink = PulseSink{copy_text(reply->name), copy_text(reply->description),
                                   copy_text(reply->monitor_source_name), reply->sample_spec,
                                   reply->channel_map};
        }
        answer->connection->signal();
      },
      &sink);
  if (const PulseWait asked = finish_operation(lookup, stop); asked != PulseWait::done) {
    return support::fail(std::string("ask the sound server: ") + pulse_wait_failure(asked));
  }
  if (sink.failed && pa_context_errno(context_) != PA_ERR_NOENTITY) {
    return support::fail("read the default sink: " + last_error());
  }
  return std::move(sink.sink);
}

}  // namespace kestrune::platform
