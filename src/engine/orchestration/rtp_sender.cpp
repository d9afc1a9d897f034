#include "engine/orchestration/rtp_sender.hpp"

#include <utility>

#include "engine/orchestration/pacing_schedule.hpp"
#include "engine/orchestration/precise_sleep.hpp"
#include "platform/thread_name.hpp"
#include "platform/thread_priority.hpp"

namespace kestrune::engine {

SessionExpected<support::JoinHandle<SessionError>> start_rtp_sender(
    support::Receiver<OutboundPacket> packets, const platform::SocketAddress& control_destination,
    const platform::SocketAddress& data_destination, platform::UdpSocket control_socket,
    std::shared_ptr<StreamStats> stats) {
  const auto socket_failure = std::unexpected(
      SessionError::of(SessionErrorKind::network_error, SessionStage::stream_worker));
  auto data_socket = platform::UdpSocket::bind_any_ipv4();
  if (!data_socket) return socket_failure;
  if (!data_socket->set_write_timeout(kDataSocketWriteTimeout)) return socket_failure;

  PacedSenderContext context{std::move(packets),        control_destination,
                             data_destination,          std::move(stats),
                             std::move(control_socket), std::move(*data_socket)};
  auto handle =
      platform::spawn_named(kRtSenderThreadName, [context = std::move(context)]() mutable {
        // Its wake-ups must stay inside the sleep margin on a busy machine (thread_priority.hpp).
        (void)platform::raise_current_thread_priority(kRtSenderThreadName);
        return run_paced_sender(std::move(context));
      });
  if (!handle) {
    return std::unexpected(
        SessionError::of(SessionErrorKind::internal_error, SessionStage::stream_worker));
  }
  return std::move(*handle);
}

SessionError run_paced_sender(PacedSenderContext context) {
  const auto send_failure =
      SessionError::of(SessionErrorKind::stream_failed, SessionStage::stream_worker);
  const std::chrono::nanoseconds margin = thread_sleep_margin();
  PacingSchedule schedule(MonotonicClock::now());
  StreamStats& stats = *context.stats;
  // Ends when the channel is closed and drained, or at the first failed send.
  for (;;) {
    auto packet = context.packets.recv();
    if (!packet) return SessionError::success();
    if (MonotonicClock::now() < schedule.deadline()) {
      precise_sleep_until(margin, schedule.deadline());
    }
    const auto sent_at = MonotonicClock::now();
    if (const auto deviation = schedule.begin_send(sent_at)) {
      record_send_deviation(stats, *deviation);
    }
    if (packet->sync &&
        !context.control_socket.send_to(*packet->sync, context.control_destination)) {
      return send_failure;
    }
    if (!context.data_socket.send_to(packet->audio, context.data_destination)) return send_failure;
    stats.packetsSent.fetch_add(1, std::memory_order_relaxed);
    schedule.complete_send(sent_at);
  }
}

}  // namespace kestrune::engine
