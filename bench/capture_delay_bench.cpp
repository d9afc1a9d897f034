// The delay from capture to send of a live session, second by second: a whole session with
// loopback capture from the sound server's default sink (PULSE_SERVER) to the loopback receiver.
// The delay is the audio captured but not yet sent: the frames the capture converted (less the
// chunks the live loop dropped, whole, to bound its delay) at the sink's rate, minus the captured
// audio the sender has sent (packets sent less the silent ones the loop inserted). It is read from
// the session's own report, whose capture and stream counters are published together once a
// second. bench/capture_delay.sh runs it idle and with every core busy.
//
//   capture_delay_bench SECONDS LABEL

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "engine/core/session_events.hpp"
#include "engine/core/session_handle.hpp"
#include "engine/core/session_report_merge.hpp"
#include "engine/core/session_shared.hpp"
#include "engine/engine.hpp"
#include "platform/pulse_audio_host.hpp"
#include "test-receiver/test_receiver.hpp"

namespace {

using namespace kestrune;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr double kFramesPerChunk = 1024;
constexpr double kFramesPerPacket = 352;
constexpr double kSendRate = 44100;

double delay_ms(const engine::SessionMetrics& m, double capture_rate) {
  const double captured = (static_cast<double>(m.captureFrames) -
                           static_cast<double>(m.bufferOverflows) * kFramesPerChunk) /
                          capture_rate;
  const double sent =
      static_cast<double>(m.packetsSent - std::min(m.packetsSent, m.underrunSilencePackets)) *
      kFramesPerPacket / kSendRate;
  return 1000 * (captured - sent);
}

int fail(const std::string& what) {
  std::fprintf(stderr, "capture_delay_bench: %s\n", what.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return fail("usage: capture_delay_bench SECONDS LABEL");
  const int seconds = std::atoi(argv[1]);
  const std::string label = argv[2];
  if (seconds < 3 || seconds > 600) return fail("SECONDS must be 3 to 600");

  // The sink's rate, at which the capture counts its frames.
  auto device = platform::default_audio_host().default_output_device(nullptr);
  if (!device || *device == nullptr) return fail("no default sink on the sound server");
  auto config = (*device)->default_output_config();
  if (!config) return fail(config.error().describe());
  const double capture_rate = config->sample_rate;
  device->reset();

  auto receiver = test_receiver::TestReceiver::start();
  if (!receiver) return fail(receiver.error().describe());
  engine::SessionConfig session;
  session.stableId = "dev_bench";
  session.displayName = "Bench";
  session.addresses = {platform::IpAddress::v4(127, 0, 0, 1)};
  session.port = (*receiver)->port();
  session.audioSource = engine::AudioSource::default_output();
  session.initialVolume = 0.5F;
  auto started = engine::start_session(session);
  if (!started) return fail("the session did not start");
  engine::SessionHandle handle = std::move(started->handle);
  engine::SessionShared& shared = *handle.shared();
  // Nobody else reads the session's events; they are taken so that none waits.
  std::thread events([source = std::move(started->events)]() mutable {
    const auto give_up = Clock::now() + std::chrono::seconds(660);
    while (Clock::now() < give_up) {  // bounded in time; ends with the terminal record
      if (std::holds_alternative<engine::SessionTerminalRecord>(
              engine::wait_session_event(source, 250ms))) {
        return;
      }
    }
  });

  const auto wait_limit = Clock::now() + 30s;
  while (engine::current_session_state(shared) != engine::SessionState::playing &&
         Clock::now() < wait_limit) {
    std::this_thread::sleep_for(10ms);
  }
  const bool playing = engine::current_session_state(shared) == engine::SessionState::playing;
  std::vector<double> delays;
  engine::SessionMetrics last;
  if (playing) {
    const auto began = Clock::now();
    std::printf("%-5s %4s %10s %8s %8s %9s %9s\n", label.c_str(), "t_s", "captured", "sent",
                "silence", "overflows", "delay_ms");
    // Half a second past each publication, so every reading is a fresh one.
    for (int second = 1; second <= seconds; ++second) {
      std::this_thread::sleep_until(began + std::chrono::milliseconds(1000 * second + 500));
      last = engine::snapshot_session_report(shared).metrics;
      delays.push_back(delay_ms(last, capture_rate));
      std::printf("%-5s %4d %10llu %8llu %8llu %9llu %9.1f\n", label.c_str(), second,
                  static_cast<unsigned long long>(last.captureFrames),
                  static_cast<unsigned long long>(last.packetsSent),
                  static_cast<unsigned long long>(last.underrunSilencePackets),
                  static_cast<unsigned long long>(last.bufferOverflows), delays.back());
      std::fflush(stdout);
    }
  }
  const engine::SessionOutcome outcome = engine::stop_and_wait_session(handle);
  events.join();
  if (!playing) return fail("the session never played");
  if (!outcome) return fail("the session failed");

  const double first = delays.front();
  const double end = delays.back();
  const double most = *std::max_element(delays.begin(), delays.end());
  std::printf(
      "%-5s summary: rate %.0f Hz, delay at 1 s %.1f ms, at %d s %.1f ms, change %+.1f ms, "
      "max %.1f ms, overflows %llu chunks, silence %llu packets, queue drops %llu\n",
      label.c_str(), capture_rate, first, seconds, end, end - first, most,
      static_cast<unsigned long long>(last.bufferOverflows),
      static_cast<unsigned long long>(last.underrunSilencePackets),
      static_cast<unsigned long long>(last.captureQueueDrops));
  return 0;
}
