// A pacing run of "rt-sender" over loopback: the coordinator's side queues sealed packets as fast
// as the packet channel lets it, a receiving thread on 127.0.0.1 notes when each audio datagram
// arrives. Printed: the p50, p99 and largest deviation of the send interval from 7,981,859 ns and
// the long-term rate error in parts per million, as the receiving side measured them and as the
// sender's own StreamStats has them. Figures only; nothing here passes or fails.
//
// Usage: rtp_pacing_bench [seconds]   (10 by default)

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "engine/orchestration/pacing_schedule.hpp"
#include "engine/orchestration/rtp_sender.hpp"
#include "engine/orchestration/stream_stats.hpp"
#include "engine/rtp/audio_packet.hpp"
#include "engine/rtp/queue_audio_packet.hpp"

namespace {

using namespace kestrune;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

platform::SocketAddress loopback(std::uint16_t port) {
  return platform::SocketAddress::ipv4({127, 0, 0, 1}, port);
}

struct Figures {
  double p50_us, p99_us, max_us;
};

Figures deviation_figures(std::vector<std::int64_t> deviations_ns) {
  if (deviations_ns.empty()) return {0, 0, 0};
  std::sort(deviations_ns.begin(), deviations_ns.end());
  const auto at = [&](double fraction) {
    const auto index =
        static_cast<std::size_t>(fraction * static_cast<double>(deviations_ns.size() - 1));
    return static_cast<double>(deviations_ns[index]) / 1000.0;
  };
  return {at(0.50), at(0.99), static_cast<double>(deviations_ns.back()) / 1000.0};
}

}  // namespace

int main(int argc, char** argv) {
  const long seconds = argc > 1 ? std::max(1L, std::strtol(argv[1], nullptr, 10)) : 10;
  const auto interval = engine::kPacketInterval;
  const auto packet_count =
      static_cast<std::size_t>(std::chrono::nanoseconds(std::chrono::seconds(seconds)) / interval);

  auto data_receiver = platform::UdpSocket::bind(loopback(0)).value();
  auto control_receiver = platform::UdpSocket::bind(loopback(0)).value();
  (void)data_receiver.set_read_timeout(2s);
  auto session_control_socket = platform::UdpSocket::bind_any_ipv4().value();

  // The receiving side: one arrival instant per audio datagram.
  std::vector<Clock::time_point> arrivals;
  arrivals.reserve(packet_count);
  std::thread receiving([&] {
    std::vector<std::uint8_t> buffer(2048);
    while (arrivals.size() < packet_count) {
      if (!data_receiver.recv_from(buffer)) break;  // 2 s without a packet: the run is over
      arrivals.push_back(Clock::now());
    }
  });

  auto [packets, channel_end] = support::channel<engine::OutboundPacket>(8);
  auto stats = std::make_shared<engine::StreamStats>();
  auto sender = engine::start_rtp_sender(std::move(channel_end),
                                         loopback(control_receiver.local_port().value()),
                                         loopback(data_receiver.local_port().value()),
                                         session_control_socket.duplicate().value(), stats);
  if (!sender) {
    std::fprintf(stderr, "rt-sender did not start\n");
    return 1;
  }

  engine::AudioKey key{};
  key.fill(0x21);
  engine::RtpSenderState state(engine::new_packet_history(), key);
  const std::vector<std::int16_t> samples(engine::kSamplesPerPacket, 0);
  // The long-term rate is measured from the second packet on, on both sides: the schedule starts
  // at the sender thread's start, so the first packet goes out late by however long the first
  // hand-off took, and the second on time.
  // The sender's own view: the instants at which its packetsSent counter reaches 2 and its final
  // value, each watched with a short spin (at most one interval after the second hand-off, and
  // at most 8 intervals after the channel is closed).
  const auto sent_count = [&] { return stats->packetsSent.load(std::memory_order_relaxed); };
  const auto spin_until_sent = [&](std::uint64_t count) {
    const auto give_up = Clock::now() + 2s;
    while (sent_count() < count && Clock::now() < give_up) {
    }
    return Clock::now();
  };
  Clock::time_point second_sent{};
  std::size_t queued = 0;
  for (; queued < packet_count; ++queued) {
    const auto timestamp = static_cast<std::uint32_t>(queued * engine::kFramesPerPacket);
    if (engine::queue_audio_packet(packets, state, samples, timestamp, stats->packetsPrepared)
            .is_error()) {
      break;
    }
    if (queued == 1) second_sent = spin_until_sent(2);
  }
  packets.close();
  const auto last_sent = spin_until_sent(queued);
  const auto result = sender->join();
  receiving.join();

  std::vector<std::int64_t> receiver_deviations;
  for (std::size_t i = 1; i < arrivals.size(); ++i) {
    const auto gap = std::chrono::nanoseconds(arrivals[i] - arrivals[i - 1]).count();
    receiver_deviations.push_back(std::abs(gap - interval.count()));
  }
  const Figures received = deviation_figures(receiver_deviations);
  double receiver_ppm = 0;
  if (arrivals.size() > 2) {
    const double span =
        static_cast<double>(std::chrono::nanoseconds(arrivals.back() - arrivals[1]).count());
    const double nominal =
        static_cast<double>(arrivals.size() - 2) * static_cast<double>(interval.count());
    receiver_ppm = (span / nominal - 1.0) * 1e6;
  }
  const engine::StreamSummary summary = engine::summarize_stream_stats(*stats);
  const double sender_nominal =
      static_cast<double>(summary.packetsSent > 1 ? summary.packetsSent - 2 : 0) *
      static_cast<double>(interval.count());
  const double sender_span =
      static_cast<double>(std::chrono::nanoseconds(last_sent - second_sent).count());
  const double sender_ppm = sender_nominal > 0 ? (sender_span / sender_nominal - 1.0) * 1e6 : 0.0;

  std::printf("rt-sender pacing over loopback: %zu packets in %ld s, result %s\n", arrivals.size(),
              seconds, result && result->is_success() ? "ok" : "failed");
  std::printf("receiving side : p50 %8.1f us  p99 %8.1f us  max %8.1f us  rate error %+8.2f ppm\n",
              received.p50_us, received.p99_us, received.max_us, receiver_ppm);
  std::printf(
      "StreamStats    : p50 %8llu us  p99 %8llu us  max %8llu us  rate error %+8.2f ppm"
      " (packetsSent's second and last step)\n",
      static_cast<unsigned long long>(summary.jitterP50Us),
      static_cast<unsigned long long>(summary.jitterP99Us),
      static_cast<unsigned long long>(summary.jitterMaxUs), sender_ppm);
  std::printf("(StreamStats percentiles are bucket upper edges, 10 us wide)\n");
  benchmark::DoNotOptimize(summary);
  return 0;
}
