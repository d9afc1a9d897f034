// Pacing of "rt-sender" against its own schedule, beside a naive loop measured in the same run.
//
// Two senders put 1444-byte datagrams on loopback, one every 7,981,859 ns: the real "rt-sender"
// thread (start_rtp_sender, fed by queue_audio_packet through the packet channel, as the stream
// loops feed it) and a naive loop at ordinary priority that sleeps with clock_nanosleep until each
// deadline. One receiver times every datagram with the kernel's receive timestamp (SO_TIMESTAMPNS),
// so its own scheduling does not enter the figures. Each sender runs idle, then with every core
// busy (one busy child process per core, each ending by itself when the run is over).
//
// Lateness of packet k: its arrival minus (anchor + k' x interval), the schedule the sender keeps;
// a lateness of more than one interval restarts that schedule at the packet (the sender's own
// rule), and is counted as a restart. Printed per run: packets, p50/p99/max lateness, restarts
// (and how many of them came from a packet that reached the channel after its deadline, the
// producer's lateness rather than the pacing's) and the long-term rate error from the first to
// the last arrival.
// Figures only; nothing here passes or fails.
//
// Usage: rtp_pacing_bench [seconds per run]   (30 by default; four runs)

#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "engine/orchestration/pacing_schedule.hpp"
#include "engine/orchestration/queue_audio_packet.hpp"
#include "engine/orchestration/rtp_sender.hpp"
#include "engine/orchestration/stream_stats.hpp"
#include "engine/wire/audio_packet.hpp"

namespace {

using namespace kestrune;
using namespace std::chrono_literals;

constexpr std::int64_t kInterval = engine::kPacketInterval.count();
constexpr std::size_t kDatagramBytes = 1444;

platform::SocketAddress loopback(std::uint16_t port) {
  return platform::SocketAddress::of({127, 0, 0, 1}, port);
}

std::int64_t now_ns(clockid_t clock) {
  timespec t{};
  ::clock_gettime(clock, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// A UDP socket on 127.0.0.1 that reads each datagram's kernel arrival time (CLOCK_REALTIME).
class TimestampingReceiver {
 public:
  TimestampingReceiver() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    const timeval two_seconds{2, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &two_seconds, sizeof two_seconds);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~TimestampingReceiver() { ::close(fd_); }
  std::uint16_t port() const { return port_; }

  // Arrival times of up to `count` datagrams; stops early after 2 s without one.
  std::vector<std::int64_t> receive(std::size_t count) const {
    std::vector<std::int64_t> arrivals;
    arrivals.reserve(count);
    std::vector<char> buffer(2048);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    while (arrivals.size() < count) {
      iovec io{buffer.data(), buffer.size()};
      msghdr message{};
      message.msg_iov = &io;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      if (::recvmsg(fd_, &message, 0) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      std::int64_t at = now_ns(CLOCK_REALTIME);
      for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
          timespec stamp{};
          std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
          at = static_cast<std::int64_t>(stamp.tv_sec) * 1'000'000'000 + stamp.tv_nsec;
        }
      }
      arrivals.push_back(at);
    }
    return arrivals;
  }

 private:
  int fd_;
  std::uint16_t port_ = 0;
};

struct RunFigures {
  std::size_t packets = 0;
  double p50_us = 0, p99_us = 0, max_us = 0;
  std::size_t restarts = 0;
  std::size_t producer_restarts = 0;  // of those: the packet was handed over after its deadline
  double rate_ppm = 0;                // long-term rate error, first to last arrival
};

// The sender's schedule as seen at the receiver: anchored at the first arrival, restarted at any
// arrival more than one interval late. Within each stretch the earliest arrival counts as on
// time, so a first packet that was itself a little late does not make the rest look early.
// `handed` (empty for the naive loop) holds when each packet entered the packet channel: a
// restart at a packet handed over after its deadline is the producer's, not the pacing's.
RunFigures lateness_figures(const std::vector<std::int64_t>& arrivals,
                            const std::vector<std::int64_t>& handed) {
  RunFigures figures;
  figures.packets = arrivals.size();
  if (arrivals.size() > 1) {
    const double span = static_cast<double>(arrivals.back() - arrivals.front());
    const double nominal =
        static_cast<double>(arrivals.size() - 1) * static_cast<double>(kInterval);
    figures.rate_ppm = (span / nominal - 1.0) * 1e6;
  }
  std::vector<std::int64_t> lateness;
  std::size_t stretch_begin = 0;
  std::int64_t anchor = arrivals.empty() ? 0 : arrivals[0];
  const auto close_stretch = [&](std::size_t end) {
    if (end <= stretch_begin) return;
    std::int64_t earliest = INT64_MAX;
    for (std::size_t k = stretch_begin; k < end; ++k) {
      earliest = std::min(
          earliest,
          arrivals[k] - (anchor + static_cast<std::int64_t>(k - stretch_begin) * kInterval));
    }
    for (std::size_t k = stretch_begin; k < end; ++k) {
      lateness.push_back(arrivals[k] -
                         (anchor + static_cast<std::int64_t>(k - stretch_begin) * kInterval) -
                         earliest);
    }
  };
  for (std::size_t k = 1; k < arrivals.size(); ++k) {
    const std::int64_t late =
        arrivals[k] - (anchor + static_cast<std::int64_t>(k - stretch_begin) * kInterval);
    if (late > kInterval) {
      const std::int64_t deadline =
          anchor + static_cast<std::int64_t>(k - stretch_begin) * kInterval;
      if (k < handed.size() && handed[k] > deadline) ++figures.producer_restarts;
      close_stretch(k);
      ++figures.restarts;
      lateness.push_back(late);
      stretch_begin = k;
      anchor = arrivals[k];
    }
  }
  close_stretch(arrivals.size());
  if (lateness.empty()) return figures;
  std::sort(lateness.begin(), lateness.end());
  const auto at = [&](double fraction) {
    const auto index =
        static_cast<std::size_t>(fraction * static_cast<double>(lateness.size() - 1));
    return static_cast<double>(lateness[index]) / 1000.0;
  };
  figures.p50_us = at(0.50);
  figures.p99_us = at(0.99);
  figures.max_us = static_cast<double>(lateness.back()) / 1000.0;
  return figures;
}

// One busy child process per core, each spinning until `seconds` have passed or it is killed.
class BusyCores {
 public:
  explicit BusyCores(std::chrono::seconds seconds) {
    const long cores = std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN));
    for (long i = 0; i < cores; ++i) {
      const pid_t child = ::fork();
      if (child == 0) {
        const auto end = std::chrono::steady_clock::now() + seconds;
        while (std::chrono::steady_clock::now() < end) {
        }
        ::_exit(0);
      }
      if (child > 0) children_.push_back(child);
    }
  }
  ~BusyCores() {
    for (const pid_t child : children_) ::kill(child, SIGKILL);
    for (const pid_t child : children_) ::waitpid(child, nullptr, 0);
  }
  std::size_t count() const { return children_.size(); }

 private:
  std::vector<pid_t> children_;
};

struct Timeline {
  std::vector<std::int64_t> arrivals;  // kernel receive times, CLOCK_REALTIME
  std::vector<std::int64_t> handed;    // when each packet entered the channel, same clock
};

// The real "rt-sender", fed through the packet channel by this thread.
Timeline run_rt_sender(std::size_t packet_count) {
  TimestampingReceiver data;
  TimestampingReceiver control;
  std::vector<std::int64_t> arrivals;
  std::thread receiving([&] { arrivals = data.receive(packet_count); });

  auto session_control_socket = platform::UdpSocket::bind_any_ipv4().value();
  auto [packets, channel_end] = support::channel<engine::OutboundPacket>(
      engine::kPacketChannelCapacity, engine::kPacketChannelWakeRoom);
  auto stats = std::make_shared<engine::StreamStats>();
  auto sender = engine::start_rtp_sender(std::move(channel_end), loopback(control.port()),
                                         loopback(data.port()),
                                         session_control_socket.duplicate().value(), stats);
  if (!sender) {
    std::fprintf(stderr, "rt-sender did not start\n");
    std::exit(1);
  }
  engine::AeadKey key{};
  key.fill(0x21);
  engine::RtpSenderState state(engine::new_packet_history(), key);
  const std::vector<std::int16_t> samples(engine::kSamplesPerPacket, 0);
  std::vector<std::int64_t> handed;
  handed.reserve(packet_count);
  for (std::size_t queued = 0; queued < packet_count; ++queued) {
    const auto timestamp = static_cast<std::uint32_t>(queued * engine::kFramesPerPacket);
    if (!engine::queue_audio_packet(packets, state, samples, timestamp, stats->packetsPrepared)) {
      break;
    }
    handed.push_back(now_ns(CLOCK_REALTIME));
  }
  packets.close();
  (void)sender->join();
  receiving.join();
  benchmark::DoNotOptimize(engine::summarize_stream_stats(*stats));
  return {std::move(arrivals), std::move(handed)};
}

// A naive pacing loop: clock_nanosleep to each deadline at ordinary priority, the same lateness
// rule, one datagram per deadline.
Timeline run_naive_loop(std::size_t packet_count) {
  TimestampingReceiver data;
  std::vector<std::int64_t> arrivals;
  std::thread receiving([&] { arrivals = data.receive(packet_count); });
  std::thread sending([&] {
    auto socket = platform::UdpSocket::bind_any_ipv4().value();
    const std::vector<std::uint8_t> datagram(kDatagramBytes, 0);
    const auto destination = loopback(data.port());
    std::int64_t deadline = now_ns(CLOCK_MONOTONIC);
    for (std::size_t k = 0; k < packet_count; ++k) {
      const timespec wake{static_cast<time_t>(deadline / 1'000'000'000),
                          static_cast<long>(deadline % 1'000'000'000)};
      while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
      }
      const std::int64_t t = now_ns(CLOCK_MONOTONIC);
      if (t - deadline > kInterval) deadline = t;
      (void)socket.send_to(datagram, destination);
      deadline += kInterval;
    }
  });
  sending.join();
  receiving.join();
  return {std::move(arrivals), {}};
}

void print_row(const char* load, const char* loop, const RunFigures& f) {
  std::printf("%-5s %-10s %8zu %10.1f %10.1f %10.1f %9zu %9zu %+10.1f\n", load, loop, f.packets,
              f.p50_us, f.p99_us, f.max_us, f.restarts, f.producer_restarts, f.rate_ppm);
}

}  // namespace

int main(int argc, char** argv) {
  const long seconds = argc > 1 ? std::clamp(std::strtol(argv[1], nullptr, 10), 1L, 600L) : 30;
  const auto packet_count = static_cast<std::size_t>(
      std::chrono::nanoseconds(std::chrono::seconds(seconds)).count() / kInterval);

  std::printf("pacing lateness against the sender's own schedule, %ld s per run (%zu packets)\n",
              seconds, packet_count);
  std::printf("%-5s %-10s %8s %10s %10s %10s %9s %9s %10s\n", "load", "loop", "packets", "p50 us",
              "p99 us", "max us", "restarts", "producer", "rate ppm");
  RunFigures figures[2][2];
  for (int busy = 0; busy < 2; ++busy) {
    for (int naive = 0; naive < 2; ++naive) {
      Timeline timeline;
      if (busy) {
        BusyCores load(std::chrono::seconds(seconds + 10));
        timeline = naive ? run_naive_loop(packet_count) : run_rt_sender(packet_count);
      } else {
        timeline = naive ? run_naive_loop(packet_count) : run_rt_sender(packet_count);
      }
      figures[busy][naive] = lateness_figures(timeline.arrivals, timeline.handed);
      print_row(busy ? "busy" : "idle", naive ? "naive" : "rt-sender", figures[busy][naive]);
    }
  }
  const double idle_ratio =
      figures[0][1].p99_us > 0 ? figures[0][0].p99_us / figures[0][1].p99_us : 0.0;
  std::printf("idle: rt-sender p99 = %.3fx the naive loop's (goal <= 0.25x)\n", idle_ratio);
  std::printf(
      "busy: rt-sender p99 %.1f us (goal <= 100 us), %zu restarts (goal 0); naive %.1f us,"
      " %zu restarts\n",
      figures[1][0].p99_us, figures[1][0].restarts, figures[1][1].p99_us, figures[1][1].restarts);
  return 0;
}
