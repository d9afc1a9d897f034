#pragma once
// A scripted audio host for driving the capture code without a sound server: the test says what
// the device reports and which steps fail, then plays the library's part by calling the built
// stream's callbacks itself (from any one thread at a time, as the library would).

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>

#include "platform/audio_device.hpp"
#include "support/error.hpp"
#include "tests/support/wait_until.hpp"

namespace kestrune::testing {

struct FakeDeviceScript {
  std::optional<support::Error> host_error;  // the host cannot look for devices
  bool hangs_until_stopped = false;          // the look-up waits for the caller's stop
  bool has_device = true;
  support::Result<std::string> name = std::string("Fake Speakers");
  support::Result<platform::OutputConfig> config =
      platform::OutputConfig{platform::SampleFormat::f32, 48000, 2};
  std::optional<support::Error> build_error;
  std::optional<support::Error> play_error;
};

// What the stream was given, shared with the test; the callbacks go when the stream is destroyed.
struct FakeStreamState {
  bool built = false;
  bool played = false;
  bool destroyed = false;
  platform::StreamConfig config{};
  std::optional<platform::InputDataCallback> data;
  platform::StreamErrorCallback error;

  template <class Sample>
  bool holds() const {
    return data && std::holds_alternative<platform::SampleCallback<Sample>>(*data);
  }
  // Delivers one buffer; false when the callback is gone or of another sample type.
  template <class Sample>
  bool deliver(std::span<const Sample> samples) {
    if (!holds<Sample>()) return false;
    std::get<platform::SampleCallback<Sample>> (*data)(samples);
    return true;
  }
  bool fail(const support::Error& failure) {
    if (!error) return false;
    error(failure);
    return true;
  }
};

class FakeInputStream final : public platform::AudioInputStream {
 public:
  FakeInputStream(std::shared_ptr<FakeStreamState> state, std::optional<support::Error> play_error)
      : state_(std::move(state)), play_error_(std::move(play_error)) {}
  ~FakeInputStream() override {
    state_->data.reset();
    state_->error = nullptr;
    state_->destroyed = true;
  }
  support::Status play(platform::StopFlag) override {
    if (play_error_) return support::fail(*play_error_);
    state_->played = true;
    return {};
  }

 private:
  std::shared_ptr<FakeStreamState> state_;
  std::optional<support::Error> play_error_;
};

class FakeOutputDevice final : public platform::AudioOutputDevice {
 public:
  FakeOutputDevice(FakeDeviceScript script, std::shared_ptr<FakeStreamState> stream)
      : script_(std::move(script)), stream_(std::move(stream)) {}
  support::Result<std::string> name() const override { return script_.name; }
  support::Result<platform::OutputConfig> default_output_config() const override {
    return script_.config;
  }
  support::Result<std::unique_ptr<platform::AudioInputStream>> build_loopback_stream(
      const platform::StreamConfig& config, platform::InputDataCallback data,
      platform::StreamErrorCallback error, platform::StopFlag) override {
    if (script_.build_error) return support::fail(*script_.build_error);
    stream_->built = true;
    stream_->config = config;
    stream_->data = std::move(data);
    stream_->error = std::move(error);
    return std::unique_ptr<platform::AudioInputStream>(
        new FakeInputStream(stream_, script_.play_error));
  }

 private:
  FakeDeviceScript script_;
  std::shared_ptr<FakeStreamState> stream_;
};

class FakeAudioHost final : public platform::AudioHost {
 public:
  explicit FakeAudioHost(FakeDeviceScript script) : script_(std::move(script)) {}
  support::Result<std::unique_ptr<platform::AudioOutputDevice>> default_output_device(
      platform::StopFlag stop) override {
    if (script_.hangs_until_stopped) {
      waiting = true;
      // A host whose server does not answer: the look-up ends only when the caller stops it (or
      // after 20 s, so a broken caller fails its test instead of hanging it).
      if (!wait_until([&] { return platform::stop_requested(stop); }, std::chrono::seconds(20))) {
        return support::fail("nobody stopped the look-up");
      }
      return support::fail("the audio host was stopped");
    }
    if (script_.host_error) return support::fail(*script_.host_error);
    if (!script_.has_device) return std::unique_ptr<platform::AudioOutputDevice>();
    return std::unique_ptr<platform::AudioOutputDevice>(new FakeOutputDevice(script_, stream));
  }

  std::shared_ptr<FakeStreamState> stream = std::make_shared<FakeStreamState>();
  std::atomic<bool> waiting{false};  // a hanging look-up has begun

 private:
  FakeDeviceScript script_;
};

}  // namespace kestrune::testing
