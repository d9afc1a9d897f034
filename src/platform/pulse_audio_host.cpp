#include "platform/pulse_audio_host.hpp"

#include <utility>

#include "platform/loopback_channels.hpp"
#include "platform/pulse_connection.hpp"
#include "platform/pulse_loopback_stream.hpp"

namespace kestrune::platform {

namespace {

// The sample format we ask the server to record in. It converts any sink format on request, so
// the stream carries what the capture pipeline takes: signed 16-bit for a sink whose samples fit in
// 16 bits (the conversion is exact, so 16-bit audio stays bit-exact), float for everything wider.
support::Result<SampleFormat> record_format(pa_sample_format_t sink_format) {
  switch (sink_format) {
    case PA_SAMPLE_S16LE:
    case PA_SAMPLE_S16BE:
    case PA_SAMPLE_U8:
    case PA_SAMPLE_ALAW:
    case PA_SAMPLE_ULAW:
      return SampleFormat::i16;
    case PA_SAMPLE_FLOAT32LE:
    case PA_SAMPLE_FLOAT32BE:
    case PA_SAMPLE_S32LE:
    case PA_SAMPLE_S32BE:
    case PA_SAMPLE_S24LE:
    case PA_SAMPLE_S24BE:
    case PA_SAMPLE_S24_32LE:
    case PA_SAMPLE_S24_32BE:
      return SampleFormat::f32;
    default:
      return support::fail("the default sink reports no valid sample format");
  }
}

class PulseOutputDevice final : public AudioOutputDevice {
 public:
  PulseOutputDevice(std::shared_ptr<PulseConnection> connection, PulseSink sink)
      : connection_(std::move(connection)), sink_(std::move(sink)) {}

  support::Result<std::string> name() const override {
    if (!sink_.description.empty()) return sink_.description;
    if (!sink_.name.empty()) return sink_.name;
    return support::fail("the default sink has no name");
  }

  support::Result<OutputConfig> default_output_config() const override {
    auto format = record_format(sink_.spec.format);
    if (!format) return support::fail(std::move(format).error());
    if (!pa_channel_map_valid(&sink_.channel_map)) {
      return support::fail("the default sink reports no valid channel map");
    }
    // What the stream records (loopback_channels.hpp): a mono sink's one channel, else two.
    return OutputConfig{*format, sink_.spec.rate,
                        loopback_channels(sink_.channel_map).map.channels};
  }

  support::Result<std::unique_ptr<AudioInputStream>> build_loopback_stream(
      const StreamConfig& config, InputDataCallback data, StreamErrorCallback error,
      StopFlag stop) override {
    return PulseLoopbackStream::open(connection_, sink_, config, std::move(data), std::move(error),
                                     stop);
  }

 private:
  std::shared_ptr<PulseConnection> connection_;
  PulseSink sink_;
};

class PulseAudioHost final : public AudioHost {
 public:
  explicit PulseAudioHost(std::string server) : server_(std::move(server)) {}

  support::Result<std::unique_ptr<AudioOutputDevice>> default_output_device(
      StopFlag stop) override {
    auto connection = PulseConnection::open(server_, stop);
    if (!connection) return support::fail(std::move(connection).error());
    auto sink = (*connection)->default_sink(stop);
    if (!sink) return support::fail(std::move(sink).error());
    if (!*sink) return std::unique_ptr<AudioOutputDevice>();
    return std::unique_ptr<AudioOutputDevice>(
        new PulseOutputDevice(std::move(*connection), std::move(**sink)));
  }

 private:
  std::string server_;
};

}  // namespace

std::unique_ptr<AudioHost> make_pulse_audio_host(std::string server) {
  return std::make_unique<PulseAudioHost>(std::move(server));
}

AudioHost& default_audio_host() {
  static PulseAudioHost host{std::string()};
  return host;
}

}  // namespace kestrune::platform
