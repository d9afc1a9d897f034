#include "engine/session/timing_responder.hpp"

#include <span>
#include <utility>
#include <vector>

#include "engine/wire/ntp_time.hpp"
#include "engine/wire/timing_reply.hpp"
#include "platform/thread_name.hpp"

namespace kestrune::engine {

support::Result<TimingResponder> start_timing_responder() {
  auto socket = platform::UdpSocket::bind_any_ipv4();
  if (!socket) {
    return support::fail_with_context(std::move(socket), "bind local NTP timing UDP socket");
  }
  if (auto timeout = socket->set_read_timeout(kTimingReadTimeout); !timeout) {
    return support::fail(std::move(timeout).error());
  }
  auto port = socket->local_port();
  if (!port) return support::fail(std::move(port).error());

  TimingResponder responder;
  responder.worker = support::StoppableWorker<void>(support::make_stop_flag());
  responder.requests = std::make_shared<std::atomic<std::uint64_t>>(0);
  responder.replies = std::make_shared<std::atomic<std::uint64_t>>(0);
  responder.local_port = *port;
  auto handle = platform::spawn_named(
      "", [socket = std::move(*socket), stop = responder.worker.stop_flag(),
           requests = responder.requests, replies = responder.replies]() mutable {
        run_timing_responder(std::move(socket), std::move(stop), std::move(requests),
                             std::move(replies));
      });
  if (!handle) return support::fail(std::move(handle).error());
  responder.worker.attach(std::move(*handle));
  return responder;
}

void run_timing_responder(platform::UdpSocket socket, std::shared_ptr<std::atomic<bool>> stop,
                          std::shared_ptr<std::atomic<std::uint64_t>> requests,
                          std::shared_ptr<std::atomic<std::uint64_t>> replies) {
  std::vector<std::uint8_t> buffer(kTimingReceiveBufferBytes, 0);
  // Bounded by the stop flag, which is read at least every read timeout.
  while (!stop->load(std::memory_order_acquire)) {
    auto received = socket.recv_from(buffer);
    if (!received) {
      const auto& error = received.error();
      if (support::is_timeout_error(error) || error.kind() == support::ErrorKind::interrupted) {
        continue;
      }
      return;
    }
    const auto datagram = std::span<const std::uint8_t>(buffer).first(received->size);
    if (!is_timing_request(datagram)) continue;
    requests->fetch_add(1, std::memory_order_relaxed);
    const auto reply = answer_timing_datagram(datagram, [] { return current_ntp_time(); });
    if (socket.send_to(*reply, received->source)) replies->fetch_add(1, std::memory_order_relaxed);
  }
}

bool stop_timing_responder(TimingResponder& responder,
                           std::chrono::steady_clock::time_point deadline) {
  return responder.worker.stop_and_join(deadline);
}

}  // namespace kestrune::engine
