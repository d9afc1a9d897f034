#pragma once
// The managed session: the whole life of one streaming session after its start was accepted, on
// its "airplay-coordinator" thread. In order: the receiver address is chosen; the start sequence
// brings the receiver to a recording stream; the initial FLUSH and volume are sent; the stream's
// state and its workers ("rt-sender", "rt-control", "rtsp-feedback") are started, and for the
// default output the loopback capture; the session is declared playing and the source's stream
// loop runs until the source ends, the maximum duration passes, a worker fails or a stop is
// requested. Then everything is torn down within the shutdown deadline, what the teardown achieved
// is recorded in the report and the final metrics are merged.
//
// Every failure is the returned SessionError (its error text dropped); a stop found before the
// session plays is cancelled at shutdown. The result is success only after the session played
// (its end reason then recorded), and shutdown_timeout at shutdown whenever the teardown ended
// after the deadline. Writes "stage=capture ..." when a capture starts and
// "stage=capture_summary ..." when its counters are reported.

#include <memory>

#include "engine/core/session_config.hpp"
#include "engine/core/session_error.hpp"
#include "engine/core/session_shared.hpp"
#include "platform/audio_device.hpp"

namespace kestrune::engine {

// `audio` is where loopback capture comes from (the sound server's host in the process).
SessionError run_managed_session(const SessionConfig& config,
                                 const std::shared_ptr<SessionShared>& shared,
                                 platform::AudioHost& audio);

}  // namespace kestrune::engine
