#pragma once
// "rt-control": answers the receiver's retransmission requests on the control socket from the
// packet history (retransmit_answer.hpp), counts what was asked for and resent, posts
// retransmit_malformed for requests of a bad length, and turns a fatal receive error into
// stream_failed at control in the WorkerFailureSlot. It sees its stop flag between reads, so its
// read timeout bounds how late it notices a stop: 250 ms, a quarter of the 1 s the worker stop
// gives it before counting it late, which leaves room for a request in hand on a busy machine
// while an idle stream wakes it only four times a second.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>

#include "engine/core/session_error.hpp"
#include "engine/core/session_shared.hpp"
#include "engine/orchestration/stream_stats.hpp"
#include "engine/orchestration/worker_failure_slot.hpp"
#include "engine/rtp/packet_history.hpp"
#include "platform/socket_address.hpp"
#include "platform/udp_socket.hpp"
#include "support/thread.hpp"

namespace kestrune::engine {

inline constexpr std::chrono::milliseconds kControlReadTimeout{250};
inline constexpr std::size_t kControlReceiveBufferBytes = 65'535;

// Everything the thread owns; its socket is closed when it ends.
struct RetransmitResponderContext {
  platform::SocketAddress reply_destination;  // receiver address, its controlPort
  std::shared_ptr<std::atomic<bool>> stop;
  platform::UdpSocket control_socket;  // a second duplicate of the session's control socket
  std::shared_ptr<StreamStats> stats;
  std::shared_ptr<PacketHistory> history;
  std::shared_ptr<SessionShared> shared;  // for its warnings
  std::shared_ptr<WorkerFailureSlot> failure;
};

// Sets the socket's read timeout to kControlReadTimeout and spawns "rt-control". Failures: the
// timeout, network_error at control; the spawn, internal_error at control.
[[nodiscard]] SessionExpected<support::JoinHandle<void>> start_rtp_control(
    platform::UdpSocket control_socket, const platform::SocketAddress& reply_destination,
    std::shared_ptr<std::atomic<bool>> stop, std::shared_ptr<StreamStats> stats,
    std::shared_ptr<PacketHistory> history, std::shared_ptr<SessionShared> shared,
    std::shared_ptr<WorkerFailureSlot> failure);

// The thread body; runs until the stop flag is seen or a receive fails for another reason than
// its timeout.
void run_retransmit_responder(RetransmitResponderContext context);

}  // namespace kestrune::engine
