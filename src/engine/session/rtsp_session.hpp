#pragma once
// The record a successful start leaves behind: everything the streaming phase needs from the
// receiver's side and every transport resource the session must close again. It is owned by the
// coordinator thread; only its connection is shared (with the feedback worker), behind its lock.
//
// Move-only. Dropping it is drop_rtsp_session: a record that is still active (or closing) gets
// the quick close first, so no request is sent on the way out; then the connection share is
// released (the last owner closes the socket and wipes the control keys), the control socket is
// closed, the timing responder stopped and joined, and the events connection closed. The audio
// key is wiped on every drop, a record moved from included: the move copied it.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/crypto/chacha20_poly1305.hpp"
#include "engine/rtsp/rtsp_connection.hpp"
#include "engine/session/setup_bodies.hpp"
#include "engine/session/timing_responder.hpp"
#include "platform/ip_address.hpp"
#include "platform/tcp_stream.hpp"
#include "platform/udp_socket.hpp"
#include "support/mutex.hpp"

namespace kestrune::engine {

// The control connection once the start sequence is done with it: one mutex, shared by the record
// and, while it runs, the feedback worker.
using SharedRtspConnection = std::shared_ptr<support::Mutex<RtspConnection>>;

enum class TransportState : std::uint8_t { closed = 0, active = 4, closing = 6 };

struct RtspSession {
  // The fields without a default; the rest are filled in by whoever builds the record. The state
  // starts active.
  RtspSession(SharedRtspConnection shared_connection, platform::UdpSocket control,
              TimingResponder timing);
  // The source is left empty: its drop only wipes its copy of the audio key.
  RtspSession(RtspSession&&) noexcept = default;
  RtspSession& operator=(RtspSession&&) = delete;
  RtspSession(const RtspSession&) = delete;
  RtspSession& operator=(const RtspSession&) = delete;
  ~RtspSession();  // drop_rtsp_session

  std::string url;  // "rtsp://<host>/<UPPER-CASE UUID>", the URI of every session request
  SharedRtspConnection connection;
  platform::UdpSocket control_socket;  // bound to 0.0.0.0:0; duplicated for the stream workers
  TimingResponder timing_responder;
  AeadKey audio_key{};                                   // seals every RTP payload; wiped on drop
  std::optional<platform::TcpStream> events_connection;  // held open, never read or written
  std::optional<std::uint16_t> remote_timing_port;       // kept, not used
  std::uint16_t event_port = 0;
  std::uint16_t local_timing_port = 0;
  std::uint16_t local_control_port = 0;
  std::uint16_t data_port = 0;            // RTP audio goes to (receiver address, data port)
  std::uint16_t remote_control_port = 0;  // sync packets and retransmissions go here
  platform::IpAddress receiver_address;
  TransportState state = TransportState::active;
};

// See the header comment. Leaves `session` empty; a second call does nothing.
void drop_rtsp_session(RtspSession& session);

// Shuts the events connection down in both directions (a failure is ignored) and closes it, if the
// record still holds it.
void close_events_connection(RtspSession& session);

}  // namespace kestrune::engine
