#pragma once
// The private sound server that the CTest fixture started for these tests (its directory comes in
// KESTRUNE_TEST_PULSE_DIR), a tone player on it, and pactl for changing its sinks.

#include <pulse/error.h>
#include <pulse/simple.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kestrune::testing {

// The server's directory; nothing when the tests run outside CTest, which starts the server.
inline std::optional<std::string> pulse_dir() {
  const char* dir = std::getenv("KESTRUNE_TEST_PULSE_DIR");
  if (dir == nullptr || *dir == '\0') return std::nullopt;
  return std::string(dir);
}

inline std::string pulse_server() { return "unix:" + pulse_dir().value_or("") + "/native"; }

// Runs pactl against the private server; its exit status.
inline int pactl(const std::string& arguments) {
  return std::system(("pactl " + arguments + " >/dev/null 2>&1").c_str());
}

// Runs pactl and returns the first line it prints (a loaded module's index, say) when it succeeds.
inline std::optional<std::string> pactl_output(const std::string& arguments) {
  FILE* pipe = ::popen(("pactl " + arguments + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string line;
  char buffer[256];
  if (std::fgets(buffer, sizeof buffer, pipe) != nullptr) line = buffer;
  if (::pclose(pipe) != 0) return std::nullopt;
  while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
  return line;
}

// Plays a sine (the same on both channels, float, 48000 Hz) to the default sink on a thread of its
// own until stopped, and for at most `limit`.
class TonePlayer {
 public:
  TonePlayer(double frequency, double amplitude, std::chrono::seconds limit = std::chrono::seconds(20))
      : thread_([this, frequency, amplitude, limit] { play(frequency, amplitude, limit); }) {}
  TonePlayer(const TonePlayer&) = delete;
  TonePlayer& operator=(const TonePlayer&) = delete;
  ~TonePlayer() {
    stop_ = true;
    thread_.join();
  }
  bool failed() const { return failed_; }

 private:
  void play(double frequency, double amplitude, std::chrono::seconds limit) {
    constexpr std::uint32_t kRate = 48000;
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, kRate, 2};
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, "kestrune tests", PA_STREAM_PLAYBACK, nullptr,
                                      "tone", &spec, nullptr, nullptr, &error);
    if (stream == nullptr) {
      failed_ = true;
      return;
    }
    constexpr std::size_t kBlockFrames = 480;  // 10 ms
    std::vector<float> block(2 * kBlockFrames);
    std::uint64_t frame = 0;
    const auto give_up = std::chrono::steady_clock::now() + limit;
    while (!stop_ && std::chrono::steady_clock::now() < give_up) {
      for (std::size_t f = 0; f < kBlockFrames; ++f, ++frame) {
        const double t = static_cast<double>(frame) / kRate;
        block[2 * f] = block[2 * f + 1] =
            static_cast<float>(amplitude * std::sin(2 * M_PI * frequency * t));
      }
      // Waits while the server's buffer is full, so this keeps pace with the sink.
      if (pa_simple_write(stream, block.data(), block.size() * sizeof(float), &error) < 0) {
        failed_ = true;
        break;
      }
    }
    pa_simple_free(stream);
  }

  std::atomic<bool> stop_{false};
  std::atomic<bool> failed_{false};
  std::thread thread_;
};

}  // namespace kestrune::testing
