#include "engine/orchestration/rtp_control.hpp"

#include <span>
#include <utility>
#include <vector>

#include "engine/orchestration/retransmit_answer.hpp"
#include "engine/wire/retransmit_request.hpp"
#include "platform/thread_name.hpp"

namespace kestrune::engine {

namespace {

// A read that found nothing in time, or that a signal cut short: the next turn reads again.
bool is_quiet_read(const support::Error& error) {
  return support::is_timeout_error(error) || error.kind() == support::ErrorKind::interrupted;
}

}  // namespace

SessionExpected<support::JoinHandle<void>> start_rtp_control(
    platform::UdpSocket control_socket, const platform::SocketAddress& reply_destination,
    std::shared_ptr<std::atomic<bool>> stop, std::shared_ptr<StreamStats> stats,
    std::shared_ptr<PacketHistory> history, std::shared_ptr<SessionShared> shared,
    std::shared_ptr<WorkerFailureSlot> failure) {
  if (!control_socket.set_read_timeout(kControlReadTimeout)) {
    return std::unexpected(
        SessionError::of(SessionErrorKind::network_error, SessionStage::control));
  }
  RetransmitResponderContext context{
      reply_destination,  std::move(stop),   std::move(control_socket), std::move(stats),
      std::move(history), std::move(shared), std::move(failure)};
  auto handle = platform::spawn_named("rt-control", [context = std::move(context)]() mutable {
    run_retransmit_responder(std::move(context));
  });
  if (!handle) {
    return std::unexpected(
        SessionError::of(SessionErrorKind::internal_error, SessionStage::control));
  }
  return std::move(*handle);
}

void run_retransmit_responder(RetransmitResponderContext context) {
  std::vector<std::uint8_t> buffer(kControlReceiveBufferBytes, 0);
  std::vector<std::uint8_t> reply;
  reply.reserve(kRetransmitReplyHeaderBytes + kControlReceiveBufferBytes);
  const auto send_reply = [&](std::span<const std::uint8_t> bytes) {
    return context.control_socket.send_to(bytes, context.reply_destination).has_value();
  };
  // Bounded by the stop flag, which is read at least every read timeout.
  while (!context.stop->load(std::memory_order_acquire)) {
    auto received = context.control_socket.recv_from(buffer);
    if (!received) {
      if (is_quiet_read(received.error())) continue;
      store_worker_failure(*context.failure, SessionError::of(SessionErrorKind::stream_failed,
                                                              SessionStage::control));
      return;
    }
    const auto datagram = std::span<const std::uint8_t>(buffer).first(received->size);
    const ControlDatagram parsed = parse_control_datagram(datagram);
    switch (parsed.kind) {
      case ControlDatagramKind::ignored:
        break;
      case ControlDatagramKind::malformed:
        post_session_warning(*context.shared, WarningCode::retransmit_malformed,
                             SessionStage::control, false);
        break;
      case ControlDatagramKind::request:
        answer_retransmit_request(parsed.request, *context.history, *context.stats, reply,
                                  send_reply);
        break;
    }
  }
}

}  // namespace kestrune::engine
