#include "engine/capture/loopback_capture.hpp"

#include <utility>

#include "engine/capture/capture_callback.hpp"

namespace kestrune::engine {

namespace {

constexpr const char* kStopped = "loopback capture start stopped";

// The data callback for `Sample`, owning its callback state; it goes when the stream drops it.
template <class Sample, void (*Callback)(CaptureCallbackState&, std::span<const Sample>)>
platform::InputDataCallback data_callback(CaptureCallbackState state) {
  return platform::SampleCallback<Sample>(
      [state = std::move(state)](std::span<const Sample> samples) mutable {
        Callback(state, samples);
      });
}

}  // namespace

support::Result<CaptureHandle> start_loopback_capture(platform::AudioHost& host,
                                                      platform::StopFlag stop) {
  if (platform::stop_requested(stop)) return support::fail(kStopped);
  auto found = host.default_output_device(stop);
  if (!found) {
    return support::fail_with_context(std::move(found), "Windows has no default output device");
  }
  if (*found == nullptr) return support::fail("Windows has no default output device");
  platform::AudioOutputDevice& device = **found;

  auto name = device.name();
  std::string device_name = name ? std::move(*name) : std::string("<unknown>");

  auto config = device.default_output_config();
  if (!config) return support::fail_with_context(std::move(config), "read default output config");
  if (config->channels == 0) return support::fail("default output reports zero channels");

  auto [sender, receiver] = support::channel<CaptureChunk>(kCaptureQueueChunks);
  auto stats = std::make_shared<CaptureStats>();
  CaptureCallbackState state(std::move(sender), stats, config->channels, config->sample_rate);

  platform::InputDataCallback data;
  switch (config->sample_format) {
    case platform::SampleFormat::i16:
      data = data_callback<std::int16_t, capture_i16_callback>(std::move(state));
      break;
    case platform::SampleFormat::u16:
      data = data_callback<std::uint16_t, capture_u16_callback>(std::move(state));
      break;
    case platform::SampleFormat::f32:
      data = data_callback<float, capture_f32_callback>(std::move(state));
      break;
    default:
      return support::fail("unsupported Windows output sample format " +
                           std::string(platform::sample_format_name(config->sample_format)));
  }
  auto on_error = [stats](const support::Error& error) { capture_error_callback(*stats, error); };

  if (platform::stop_requested(stop)) return support::fail(kStopped);
  const platform::StreamConfig stream_config{config->channels, config->sample_rate};
  auto stream =
      device.build_loopback_stream(stream_config, std::move(data), std::move(on_error), stop);
  if (!stream) return support::fail(std::move(stream).error());
  if (platform::stop_requested(stop)) return support::fail(kStopped);
  if (auto started = (*stream)->play(stop); !started) {
    return support::fail_with_context(std::move(started), "start WASAPI loopback capture stream");
  }

  return CaptureHandle{std::move(*stream),
                       std::move(stats),
                       std::move(receiver),
                       std::move(device_name),
                       std::string(platform::sample_format_name(config->sample_format)),
                       config->sample_rate,
                       config->channels};
}

}  // namespace kestrune::engine
