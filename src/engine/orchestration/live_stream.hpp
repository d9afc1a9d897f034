#pragma once
// The live stream loop: plays loopback capture through the jitter buffer. It first fills the
// buffer to its start target (for at most startMaxWait), then hands one packet per turn to
// "rt-sender" (the blocking hand-off sets the pace), refilling the buffer only when it falls
// below its refill target and sending a silent packet (counted as underrunSilencePackets) when
// it is empty. A stop request or the maximum duration moves the session to draining: the capture
// is stopped and what it still delivers is sent for at most 750 ms (less when the shutdown
// deadline is nearer). The capture ending by itself plays out the buffer and ends the stream.
// While streaming, the audio waiting for the sender (in the capture queue, the source and the
// jitter buffer) is kept within the jitter buffer's capacity: the oldest chunks beyond it are
// dropped and counted as bufferOverflows, which bounds the delay from capture to send
// (live_stream.cpp says why).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>

#include "engine/audio/live_pcm_source.hpp"
#include "engine/capture/capture_chunk.hpp"
#include "engine/capture/loopback_capture.hpp"
#include "engine/core/session_config.hpp"
#include "engine/orchestration/jitter_buffer.hpp"
#include "engine/orchestration/stream_context.hpp"
#include "support/channel.hpp"

namespace kestrune::engine {

inline constexpr std::chrono::milliseconds kPrefillRetry{20};
inline constexpr std::chrono::milliseconds kDrainLimit{750};

// The capture's final counters, filled by the loop when it stops the capture at the drain; the
// runner reports them.
struct CaptureSummary {
  bool present = false;
  CaptureTotals totals;
  std::uint64_t max_callback_gap_us = 0;
};

// The capture's counters as the report takes them, and with the longest callback gap.
CaptureSummary summarize_capture(const CaptureStats& stats);

// The most capture chunks that may wait in the capture queue while the loop streams: the whole
// chunks of `sample_rate` audio that fit in what `capacity_packets` packets leave beside the
// `held_frames` (at 44100 Hz) the loop holds already, and at least one.
std::size_t capture_backlog_limit(std::size_t capacity_packets, std::size_t held_frames,
                                  std::uint32_t sample_rate);

enum class FillStatus { target_reached, not_ready, ended };

// Pulls packets from the source until the buffer holds min(target, capacity); returns at once
// with target_reached when it already does, with not_ready or ended as soon as the source says
// so. A source error is capture_failed at capture (retryable), its message dropped.
[[nodiscard]] SessionExpected<FillStatus> fill_packet_queue(LivePcmSource& source,
                                                            JitterBuffer& buffer,
                                                            std::size_t target,
                                                            std::size_t capacity);

// The loop. `capture` is the running capture (it may be absent); the loop takes and drops it at
// the drain after filling `summary` from it. `queue` and `sample_rate` are the capture's queue
// and device rate.
[[nodiscard]] StreamOutcome stream_capture(support::Receiver<CaptureChunk> queue,
                                           std::uint32_t sample_rate, const SessionConfig& config,
                                           StreamContext& context,
                                           std::optional<CaptureHandle>& capture,
                                           CaptureSummary& summary);

}  // namespace kestrune::engine
