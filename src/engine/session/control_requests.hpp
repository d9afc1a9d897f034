#pragma once
// The requests a started session sends besides its teardown: the initial FLUSH and volume right
// after start-up, and a volume update whenever the host changes the volume while audio streams.
// Each takes the connection's lock and waits for it (the feedback worker only ever tries it);
// a lock left poisoned by a failed thread ends the calling thread with "RTSP lock poisoned". The
// lock is let go before the status is judged. Exchange errors come back as they are (they name
// the request and its CSeq); a status other than exactly 200 is an error of its own.

#include <atomic>
#include <string>

#include "engine/session/rtsp_session.hpp"
#include "support/error.hpp"

namespace kestrune::engine {

// FLUSH with "RTP-Info: seq=0;rtptime=0", cancelled by the session's stop flag.
support::Status send_initial_flush(RtspSession& session, const std::atomic<bool>& stop_requested);

// SET_PARAMETER "volume: <dB>", cancelled by the session's stop flag.
support::Status send_initial_volume(RtspSession& session, float volume,
                                    const std::atomic<bool>& stop_requested);

// The same request during streaming: never cancelled, bounded by the request timeout.
support::Status send_volume_update(RtspSession& session, float volume);

// "volume: -6.02\r\n": the volume clamped to 0..1 in dB with two decimals; 0 (or less) is -144.00,
// 1 (or more) is 0.00.
std::string volume_parameter_body(float volume);

}  // namespace kestrune::engine
