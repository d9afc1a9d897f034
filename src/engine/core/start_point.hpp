#pragma once
// The points of a session's start after which the start sequence or the runner looks for a stop
// request next: each is reached on the coordinator thread once the step before it is done.
// Reaching one does nothing unless an observer is set.

#include <cstdint>

namespace kestrune::engine {

struct SessionShared;

enum class StartPoint : std::uint8_t {
  options_answered,        // the encrypted OPTIONS answered; the timing responder is next
  timing_started,          // the timing responder runs
  control_socket_bound,    // the local control socket is bound; SETUP phase 2 is next
  setup2_answered,         // the SETUP phase 2 answer read; the record and RECORD are next
  record_answered,         // RECORD answered 2xx
  transport_held,          // the runner holds the started session; the initial FLUSH is next
  initial_flush_answered,  // the initial FLUSH answered; the initial volume is next
  sender_started,          // "rt-sender" runs
  control_started,         // "rt-control" runs
  feedback_started,        // "rtsp-feedback" runs
  capture_started,         // the loopback capture runs; the playing state is next
};

// Tells the observer, if there is one, on the calling thread.
void reached_start_point(SessionShared& shared, StartPoint point);

}  // namespace kestrune::engine
