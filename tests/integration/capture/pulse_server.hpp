#pragma once
// The private sound server that the CTest fixture started for these tests (its directory comes in
// KESTRUNE_TEST_PULSE_DIR), a tone player on it, pactl for changing its sinks, temporary sinks,
// and a way to freeze the server.

#include <gtest/gtest.h>
#include <pulse/channelmap.h>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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

#define REQUIRE_PULSE_SERVER()           \
  if (!::kestrune::testing::pulse_dir()) \
  GTEST_SKIP() << "run under CTest, which starts the private server"

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

// One channel of what a TonePlayer plays: a sine of this frequency and amplitude; amplitude 0 is
// silence.
struct ChannelTone {
  pa_channel_position_t position;
  double frequency = 0;
  double amplitude = 0;
};

// Plays a sine on each channel (float samples at `rate`, in the channel map the tones give) to the
// default sink, on a thread of its own until stopped, and for at most `limit`. The server remixes
// only when the sink's channel map differs from the player's.
class TonePlayer {
 public:
  // The same sine on left and right at 48000 Hz.
  TonePlayer(double frequency, double amplitude,
             std::chrono::seconds limit = std::chrono::seconds(20))
      : TonePlayer({{PA_CHANNEL_POSITION_FRONT_LEFT, frequency, amplitude},
                    {PA_CHANNEL_POSITION_FRONT_RIGHT, frequency, amplitude}},
                   48000, limit) {}
  TonePlayer(std::vector<ChannelTone> tones, std::uint32_t rate,
             std::chrono::seconds limit = std::chrono::seconds(20))
      : thread_([this, tones = std::move(tones), rate, limit] { play(tones, rate, limit); }) {}
  TonePlayer(const TonePlayer&) = delete;
  TonePlayer& operator=(const TonePlayer&) = delete;
  ~TonePlayer() {
    stop_ = true;
    thread_.join();
  }
  bool failed() const { return failed_; }

 private:
  void play(const std::vector<ChannelTone>& tones, std::uint32_t rate, std::chrono::seconds limit) {
    const auto channels = static_cast<std::uint8_t>(tones.size());
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, rate, channels};
    pa_channel_map map;
    pa_channel_map_init(&map);
    map.channels = channels;
    for (std::size_t c = 0; c < tones.size(); ++c) map.map[c] = tones[c].position;
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, "kestrune tests", PA_STREAM_PLAYBACK, nullptr,
                                      "tone", &spec, &map, nullptr, &error);
    if (stream == nullptr) {
      failed_ = true;
      return;
    }
    const std::size_t block_frames = rate / 100;  // 10 ms
    std::vector<float> block(channels * block_frames);
    std::uint64_t frame = 0;
    const auto give_up = std::chrono::steady_clock::now() + limit;
    while (!stop_ && std::chrono::steady_clock::now() < give_up) {
      for (std::size_t f = 0; f < block_frames; ++f, ++frame) {
        const double t = static_cast<double>(frame) / rate;
        for (std::size_t c = 0; c < tones.size(); ++c) {
          block[channels * f + c] =
              static_cast<float>(tones[c].amplitude * std::sin(2 * M_PI * tones[c].frequency * t));
        }
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

// A null sink loaded for one test (`options` as module-null-sink takes them) and made the default;
// the sink goes and "kestrune_null" is the default again afterwards.
class TemporarySink {
 public:
  TemporarySink(const std::string& name, const std::string& description, const std::string& options)
      : name_(name) {
    module_ = pactl_output("load-module module-null-sink sink_name=" + name + " " + options +
                           " sink_properties=device.description=" + description);
    if (module_ && pactl("set-default-sink " + name) != 0) remove();
  }
  TemporarySink(const TemporarySink&) = delete;
  TemporarySink& operator=(const TemporarySink&) = delete;
  ~TemporarySink() {
    remove();
    pactl("set-default-sink kestrune_null");
  }
  bool loaded() const { return module_.has_value(); }
  bool remove() {
    if (!module_) return false;
    const bool removed = pactl("unload-module " + *module_) == 0;
    module_.reset();
    return removed;
  }

 private:
  std::string name_;
  std::optional<std::string> module_;
};

// The private server frozen (SIGSTOP) for as long as this lives, as a server that hangs would be:
// its socket still takes connections, but nothing answers.
class FrozenServer {
 public:
  FrozenServer() {
    std::ifstream file(pulse_dir().value_or("") + "/server-pid");
    if (file >> pid_ && pid_ > 0 && ::kill(pid_, SIGSTOP) == 0) frozen_ = true;
  }
  FrozenServer(const FrozenServer&) = delete;
  FrozenServer& operator=(const FrozenServer&) = delete;
  ~FrozenServer() {
    if (frozen_) ::kill(pid_, SIGCONT);
  }
  bool frozen() const { return frozen_; }

 private:
  pid_t pid_ = 0;
  bool frozen_ = false;
};

}  // namespace kestrune::testing
