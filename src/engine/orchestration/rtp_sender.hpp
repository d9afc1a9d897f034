#pragma once
// "rt-sender": puts the sealed audio on the wire in real time, one packet every 7,981,859 ns,
// whatever the timing of the coordinator that seals them. It takes one OutboundPacket at a time
// from the packet channel, waits for its deadline (pacing_schedule.hpp), records the deviation of
// the send interval, sends the sync packet (if any) to the control port through a duplicate of
// the session's control socket and then the audio packet to the data port through its own data
// socket. Packets still queued when the channel closes are all sent, at the normal pace.
// It allocates nothing per packet; it only frees the buffers it received.

#include <chrono>
#include <cstddef>
#include <expected>
#include <memory>

#include "engine/core/session_error.hpp"
#include "engine/orchestration/outbound_packet.hpp"
#include "engine/orchestration/stream_stats.hpp"
#include "platform/socket_address.hpp"
#include "platform/udp_socket.hpp"
#include "support/channel.hpp"
#include "support/thread.hpp"

namespace kestrune::engine {

inline constexpr std::chrono::seconds kDataSocketWriteTimeout{2};
inline constexpr const char* kRtSenderThreadName = "rt-sender";

// The packet channel into "rt-sender" holds this many packets; the stream loops wait while it is
// full. A stream loop that found it full is woken once half of it is free and then seals those
// packets in one go: a quarter of the wake-ups, with 4 packets (32 ms) still queued for
// "rt-sender" when it wakes.
inline constexpr std::size_t kPacketChannelCapacity = 8;
inline constexpr std::size_t kPacketChannelWakeRoom = 4;

// Everything the thread owns; its sockets are closed when it ends.
struct PacedSenderContext {
  support::Receiver<OutboundPacket> packets;
  platform::SocketAddress control_destination;  // receiver address, its controlPort
  platform::SocketAddress data_destination;     // receiver address, its dataPort
  std::shared_ptr<StreamStats> stats;
  platform::UdpSocket control_socket;  // a duplicate of the session's control socket
  platform::UdpSocket data_socket;
};

// Binds the data socket to "0.0.0.0:0" with a 2 s write timeout and spawns "rt-sender", which
// first raises its own scheduling priority as far as the system allows (thread_priority.hpp).
// Failures: the socket, network_error at stream_worker; the spawn, internal_error at
// stream_worker. The moved resources are released on failure.
[[nodiscard]] SessionExpected<support::JoinHandle<SessionError>> start_rtp_sender(
    support::Receiver<OutboundPacket> packets, const platform::SocketAddress& control_destination,
    const platform::SocketAddress& data_destination, platform::UdpSocket control_socket,
    std::shared_ptr<StreamStats> stats);

// The thread body: success once the channel is closed and drained; stream_failed at
// stream_worker (retryable) as soon as a send fails, before anything else of that pair is sent.
// A bare SessionError: it is the thread's result, which the join hands to the session's end.
SessionError run_paced_sender(PacedSenderContext context);

}  // namespace kestrune::engine
