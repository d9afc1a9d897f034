#pragma once
// The timing responder: owns the UDP port announced as the timing port and answers every timing
// request (wire/timing_reply.hpp) with the sender's wall-clock receive and transmit times, on a
// thread of its own. It reads with a 50 ms timeout, so a stop is seen within about 50 ms. Its two
// counters are read by others at any time with plain atomic loads.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "platform/udp_socket.hpp"
#include "support/error.hpp"
#include "support/stoppable_worker.hpp"

namespace kestrune::engine {

inline constexpr std::chrono::milliseconds kTimingReadTimeout{50};
inline constexpr std::size_t kTimingReceiveBufferBytes = 2'048;

// Move-only. A responder dropped (or assigned over) while its thread runs is stopped and joined
// (without waiting beyond the thread's own read timeout), so no thread outlives its handle.
struct TimingResponder {
  support::StoppableWorker<void> worker;
  std::shared_ptr<std::atomic<std::uint64_t>> requests;  // valid timing requests received
  std::shared_ptr<std::atomic<std::uint64_t>> replies;   // replies sent
  std::uint16_t local_port = 0;
};

// Binds "0.0.0.0:0" (failure in the context "bind local NTP timing UDP socket"), sets the 50 ms
// read timeout, reads the local port and spawns the unnamed responder thread. On any failure the
// socket is closed and the error returned.
support::Result<TimingResponder> start_timing_responder();

// The thread body: ends at the stop flag, or silently after a receive error other than the
// timeout.
void run_timing_responder(platform::UdpSocket socket, std::shared_ptr<std::atomic<bool>> stop,
                          std::shared_ptr<std::atomic<std::uint64_t>> requests,
                          std::shared_ptr<std::atomic<std::uint64_t>> replies);

// StoppableWorker::stop_and_join on the responder: sets the flag, polls every 1 ms until the thread
// has ended or `deadline` has come, then joins it. Whether it had ended by the deadline.
bool stop_timing_responder(TimingResponder& responder,
                           std::chrono::steady_clock::time_point deadline);

}  // namespace kestrune::engine
