#include "engine/session/rtsp_session.hpp"

#include "engine/session/session_teardown.hpp"
#include "support/wipe.hpp"

namespace kestrune::engine {

RtspSession::RtspSession(SharedRtspConnection shared_connection, platform::UdpSocket control,
                         TimingResponder timing)
    : connection(std::move(shared_connection)),
      control_socket(std::move(control)),
      timing_responder(std::move(timing)) {}

RtspSession::~RtspSession() { drop_rtsp_session(*this); }

void close_events_connection(RtspSession& session) {
  if (!session.events_connection) return;
  (void)session.events_connection->shutdown_both();
  session.events_connection.reset();
}

void drop_rtsp_session(RtspSession& session) {
  // A move copies the key (it is an array), so a record moved from still holds one.
  support::wipe(session.audio_key);
  if (!session.connection) return;  // moved from, or dropped already
  if (session.state != TransportState::closed) (void)abort_session_transport(session);
  session.connection.reset();
  session.url.clear();
  session.control_socket.close();
  stop_timing_responder(session.timing_responder, std::chrono::steady_clock::now());
  close_events_connection(session);
}

}  // namespace kestrune::engine
