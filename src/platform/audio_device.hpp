#pragma once
// What the session needs of an audio library to capture the default output device in loopback:
// a host, its default output device, the device's name and default output configuration, and an
// input stream built on that output device that delivers what it plays. The callbacks of a stream
// run on the library's own thread, one buffer at a time, never two at once. The session's capture
// code is written against these interfaces only, so tests can drive it with a fake device; the
// real host is the sound server's (pulse_audio_host.hpp).
//
// Opening a device or a stream may wait for the library (a sound server that is slow, or frozen).
// Every such wait watches the caller's stop flag: once it is set, the operation gives up within
// about 20 ms with an error that says it was stopped.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "support/error.hpp"

namespace kestrune::platform {

enum class SampleFormat { i8, i16, i32, i64, u8, u16, u32, u64, f32, f64 };

// "I8", "I16", ..., "F64".
std::string_view sample_format_name(SampleFormat format);

// The format in which a loopback stream of the device can deliver what it plays: the device's own
// format, or one the library converts to for us.
struct OutputConfig {
  SampleFormat sample_format;
  std::uint32_t sample_rate;
  std::uint16_t channels;
};

// What an input stream is asked for; the buffer size is the library's default.
struct StreamConfig {
  std::uint16_t channels;
  std::uint32_t sample_rate;
};

// The caller's stop request (the session's stop flag), owned by the caller and outliving the call;
// null: never stopped.
using StopFlag = const std::atomic<bool>*;

inline bool stop_requested(StopFlag stop) {
  return stop != nullptr && stop->load(std::memory_order_acquire);
}

// One buffer of interleaved samples, whole frames only.
template <class Sample>
using SampleCallback = std::move_only_function<void(std::span<const Sample>)>;
// The sample type of the callback is the sample type the stream delivers.
using InputDataCallback = std::variant<SampleCallback<std::int16_t>, SampleCallback<std::uint16_t>,
                                       SampleCallback<float>>;
// A problem the library met while the stream runs; the stream may go on or end after it.
using StreamErrorCallback = std::move_only_function<void(const support::Error&)>;

// A built input stream. Destroying it stops it: once the destructor has returned no callback runs
// again and both callbacks have been destroyed. A stream that ends on its own (its device went
// away) reports an error and then destroys its callbacks on the library's thread. Never destroyed
// from inside one of its own callbacks.
class AudioInputStream {
 public:
  virtual ~AudioInputStream() = default;
  // Starts delivery.
  virtual support::Status play(StopFlag stop) = 0;
};

class AudioOutputDevice {
 public:
  virtual ~AudioOutputDevice() = default;
  virtual support::Result<std::string> name() const = 0;
  // Reads what the device was found with; never waits.
  virtual support::Result<OutputConfig> default_output_config() const = 0;
  // An input stream that captures what this output device plays (loopback). Fails when the
  // callback's sample type cannot be delivered.
  virtual support::Result<std::unique_ptr<AudioInputStream>> build_loopback_stream(
      const StreamConfig& config, InputDataCallback data, StreamErrorCallback error,
      StopFlag stop) = 0;
};

class AudioHost {
 public:
  virtual ~AudioHost() = default;
  // The device the system plays to by default; a null pointer when there is none.
  virtual support::Result<std::unique_ptr<AudioOutputDevice>> default_output_device(
      StopFlag stop) = 0;
};

}  // namespace kestrune::platform
