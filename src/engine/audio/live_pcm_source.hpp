#pragma once
// The live source: capture chunks in, packets of exactly 352 stereo frames (704 samples) at
// 44100 Hz out. A device already at 44100 Hz passes through untouched (no rescaling, no dither);
// any other rate goes through the resampler (live_resampler.hpp). The source never waits: a pull
// takes only what the capture queue already holds. Once the queue is closed the source returns
// what it still has in whole packets and then "ended" for good; a shorter remainder is dropped.
// After a failure the source is in no defined state and is not used again.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "engine/audio/live_resampler.hpp"
#include "engine/capture/capture_chunk.hpp"
#include "support/channel.hpp"
#include "support/error.hpp"

namespace kestrune::engine {

inline constexpr std::size_t kLivePacketSamples = 704;
using LivePacket = std::array<std::int16_t, kLivePacketSamples>;

struct LiveNotReady {};
struct LiveEnded {};
// One pull: a packet (the caller's to keep), not ready yet, or ended.
using LivePull = std::variant<LivePacket, LiveNotReady, LiveEnded>;

struct LivePcmSource {
  support::Receiver<CaptureChunk> queue;
  std::vector<std::int16_t> output;  // 44100 Hz samples not yet cut into packets
  std::size_t output_start = 0;      // samples at the front of `output` already handed out
  std::optional<ResamplerPipeline> resampler;  // only when the input rate is not 44100
  std::uint32_t input_rate = 0;
  bool ended = false;
};

// Fails with "resampler rates must be non-zero", or the resampler's creation or priming error.
support::Result<LivePcmSource> new_live_source(support::Receiver<CaptureChunk> queue,
                                               std::uint32_t input_rate);

// Fails with "live PCM frame must be complete interleaved stereo", "capture sample rate changed
// from <source rate> to <chunk rate>", or a resampling error.
support::Result<LivePull> next_live_packet(LivePcmSource& source);

// The 44100 Hz frames the source holds ready for packets.
std::size_t live_output_frames(const LivePcmSource& source);

// While more than `limit` chunks wait in the capture queue, takes the oldest out and discards it
// (whole chunks, so no frame is split); how many it discarded. The next chunk the source takes
// then follows the gap directly.
std::size_t drop_capture_backlog(LivePcmSource& source, std::size_t limit);

}  // namespace kestrune::engine
