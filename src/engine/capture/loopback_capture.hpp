#pragma once
// Loopback capture of the default output device: what it plays arrives, converted to stereo
// signed 16-bit at the device's own rate, as CaptureChunks in a queue of 256 (capture_callback.hpp
// says how). The stream runs until the handle is dropped; dropping it stops the stream and
// destroys the callbacks, which closes the queue: chunks still queued can then be received until
// the queue is empty.

#include <cstdint>
#include <memory>
#include <string>

#include "engine/capture/capture_chunk.hpp"
#include "engine/capture/capture_stats.hpp"
#include "platform/audio_device.hpp"
#include "support/channel.hpp"
#include "support/error.hpp"

namespace kestrune::engine {

// Move-only; the runner keeps it for the session (the live loop may take the queue out first).
struct CaptureHandle {
  std::unique_ptr<platform::AudioInputStream> stream;
  std::shared_ptr<CaptureStats> stats;
  support::Receiver<CaptureChunk> queue;
  std::string device_name;    // "<unknown>" when the name cannot be read
  std::string sample_format;  // "I16", "U16" or "F32"
  std::uint32_t sample_rate = 0;
  std::uint16_t channels = 0;
};

// Opens and starts the capture of `host`'s default output device. Fails with "Windows has no
// default output device", "default output reports zero channels", "unsupported Windows output
// sample format <name>", the library's error with the context "read default output config" or
// "start WASAPI loopback capture stream", or the library's error from building the stream.
//
// `stop` (the session's stop flag; null: none) is watched throughout: once it is set the start
// gives up within about 20 ms, whatever the library's server does, with "loopback capture start
// stopped" or the library's own stopped error, and nothing keeps running.
support::Result<CaptureHandle> start_loopback_capture(platform::AudioHost& host,
                                                      platform::StopFlag stop = nullptr);

}  // namespace kestrune::engine
