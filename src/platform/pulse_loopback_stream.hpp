#pragma once
// A record stream on a sink's monitor source: what the sink plays, converted by the server to the
// sample type of the data callback at the rate asked for, on the channels loopback_channels picks
// (the channel count asked for must be theirs), delivered to that callback on the main loop's
// thread in whole frames. It is created corked
// and starts on play(). It never follows the sink elsewhere: when the sink or the server goes away
// the stream reports one error and destroys its callbacks, which ends the capture.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <tuple>
#include <vector>

#include "platform/audio_device.hpp"
#include "platform/pulse_connection.hpp"

namespace kestrune::platform {

class PulseLoopbackStream final : public AudioInputStream {
 public:
  // Connects the record stream and waits until the server has it ready (bounded, and given up
  // when `stop` is set).
  static support::Result<std::unique_ptr<AudioInputStream>> open(
      std::shared_ptr<PulseConnection> connection, const PulseSink& sink,
      const StreamConfig& config, InputDataCallback data, StreamErrorCallback error, StopFlag stop);

  ~PulseLoopbackStream() override;
  support::Status play(StopFlag stop) override;

 private:
  PulseLoopbackStream(std::shared_ptr<PulseConnection> connection, InputDataCallback data,
                      StreamErrorCallback error);
  support::Status connect(const PulseSink& sink, const StreamConfig& config,
                          pa_sample_format_t format, StopFlag stop);

  static void on_state(pa_stream* stream, void* userdata);
  static void on_read(pa_stream* stream, std::size_t bytes, void* userdata);
  static void on_overflow(pa_stream* stream, void* userdata);

  void read_available();
  void deliver(const std::byte* bytes, std::size_t size);
  template <class Sample>
  void deliver_as(SampleCallback<Sample>& callback, const std::byte* bytes, std::size_t size);
  void report(const support::Error& error);
  void end(const support::Error& error);

  std::shared_ptr<PulseConnection> connection_;
  pa_stream* stream_ = nullptr;
  InputDataCallback data_;
  StreamErrorCallback error_;
  // All below: touched only under the main loop's lock.
  bool running_ = false;  // connected; from here on, failures go to the callbacks
  bool ended_ = false;
  std::size_t frame_bytes_ = 0;
  std::vector<std::byte> partial_frame_;  // the bytes of a frame split across two fragments
  // Whole frames in the callback's sample type; keeps its capacity from fragment to fragment.
  std::tuple<std::vector<std::int16_t>, std::vector<std::uint16_t>, std::vector<float>> staging_;
};

}  // namespace kestrune::platform
