#pragma once
// What the session needs of an audio library to capture the default output device in loopback:
// a host, its default output device, the device's name and default output configuration, and an
// input stream built on that output device that delivers what it plays. The callbacks of a stream
// run on the library's own thread, one buffer at a time, never two at once. The session's capture
// code is written against these interfaces only, so tests can drive it with a fake device; the
// real host is the sound server's (pulse_audio_host.hpp).

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

// The format the device itself runs at.
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
  virtual support::Status play() = 0;
};

class AudioOutputDevice {
 public:
  virtual ~AudioOutputDevice() = default;
  virtual support::Result<std::string> name() const = 0;
  virtual support::Result<OutputConfig> default_output_config() const = 0;
  // An input stream that captures what this output device plays (loopback). Fails when the
  // callback's sample type cannot be delivered.
  virtual support::Result<std::unique_ptr<AudioInputStream>> build_loopback_stream(
      const StreamConfig& config, InputDataCallback data, StreamErrorCallback error) = 0;
};

class AudioHost {
 public:
  virtual ~AudioHost() = default;
  // The device the system plays to by default; a null pointer when there is none.
  virtual support::Result<std::unique_ptr<AudioOutputDevice>> default_output_device() = 0;
};

}  // namespace kestrune::platform
