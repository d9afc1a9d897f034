#include "engine/audio/live_pcm_source.hpp"

#include <algorithm>
#include <span>
#include <string>
#include <utility>

namespace kestrune::engine {

namespace {

// Bounds a pull when the queue keeps delivering: even at the highest accepted device rate a chunk
// gives some 58 frames, so this many chunks hold several packets.
constexpr int kMaxChunksPerPull = 64;

std::size_t buffered(const LivePcmSource& source) {
  return source.output.size() - source.output_start;
}

LivePacket take_packet(LivePcmSource& source) {
  LivePacket packet;
  const auto first = source.output.begin() + static_cast<std::ptrdiff_t>(source.output_start);
  std::copy_n(first, kLivePacketSamples, packet.begin());
  source.output_start += kLivePacketSamples;
  return packet;
}

// Drops what was handed out, so the buffer holds only what is still to come.
void compact(LivePcmSource& source) {
  source.output.erase(source.output.begin(),
                      source.output.begin() + static_cast<std::ptrdiff_t>(source.output_start));
  source.output_start = 0;
}

support::Status accept_chunk(LivePcmSource& source, const CaptureChunk& chunk) {
  if (chunk.channels != 2 || chunk.samples.size() % 2 != 0) {
    return support::fail("live PCM frame must be complete interleaved stereo");
  }
  if (chunk.sample_rate != source.input_rate) {
    return support::fail("capture sample rate changed from " + std::to_string(source.input_rate) +
                         " to " + std::to_string(chunk.sample_rate));
  }
  compact(source);
  if (!source.resampler) {
    source.output.insert(source.output.end(), chunk.samples.begin(), chunk.samples.end());
    return {};
  }
  ResamplerPipeline& pipeline = *source.resampler;
  pipeline.input.insert(pipeline.input.end(), chunk.samples.begin(), chunk.samples.end());
  std::size_t used = 0;
  while (pipeline.input.size() - used >= kResamplerChunkSamples) {
    std::span<const std::int16_t, kResamplerChunkSamples> block(pipeline.input.data() + used,
                                                                kResamplerChunkSamples);
    if (auto done = resample_live_chunk(pipeline, block, source.output); !done) return done;
    used += kResamplerChunkSamples;
  }
  pipeline.input.erase(pipeline.input.begin(),
                       pipeline.input.begin() + static_cast<std::ptrdiff_t>(used));
  return {};
}

}  // namespace

support::Result<LivePcmSource> new_live_source(support::Receiver<CaptureChunk> queue,
                                               std::uint32_t input_rate) {
  LivePcmSource source{std::move(queue), {}, 0, std::nullopt, input_rate, false};
  if (input_rate == kLiveOutputRate) return source;
  if (input_rate == 0) return support::fail("resampler rates must be non-zero");
  auto pipeline = new_resampler_pipeline(input_rate);
  if (!pipeline) return support::fail(std::move(pipeline).error());
  source.resampler = std::move(*pipeline);
  return source;
}

support::Result<LivePull> next_live_packet(LivePcmSource& source) {
  for (int chunk = 0; chunk <= kMaxChunksPerPull; ++chunk) {
    if (buffered(source) >= kLivePacketSamples) return LivePull(take_packet(source));
    if (source.ended) return LivePull(LiveEnded{});
    auto received = source.queue.try_recv();
    if (!received) {
      if (received.error() == support::RecvError::disconnected) {
        source.ended = true;
        continue;
      }
      return LivePull(LiveNotReady{});
    }
    if (auto accepted = accept_chunk(source, *received); !accepted) {
      return support::fail(std::move(accepted).error());
    }
  }
  return LivePull(LiveNotReady{});
}

std::size_t live_output_frames(const LivePcmSource& source) { return buffered(source) / 2; }

std::size_t drop_capture_backlog(LivePcmSource& source, std::size_t limit) {
  std::size_t waiting = source.queue.size();
  std::size_t dropped = 0;
  // Bounded by what waited at the start: every turn takes one chunk out or ends.
  for (; waiting > limit; --waiting) {
    if (!source.queue.try_recv()) break;
    ++dropped;
  }
  return dropped;
}

}  // namespace kestrune::engine
