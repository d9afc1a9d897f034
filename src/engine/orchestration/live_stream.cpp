#include "engine/orchestration/live_stream.hpp"

#include <algorithm>
#include <thread>
#include <utility>
#include <variant>

#include "engine/wire/audio_packet.hpp"

namespace kestrune::engine {

namespace {

using Clock = std::chrono::steady_clock;

const LivePacket kSilentPacket{};

SessionError capture_failed() {
  return SessionError::of(SessionErrorKind::capture_failed, SessionStage::capture);
}

bool stop_requested(const StreamContext& context) {
  return context.shared.stop_requested.load(std::memory_order_acquire);
}

// The loop's own state, from the start of the stream to its end.
struct LiveLoop {
  const SessionConfig& config;
  StreamContext& context;
  std::optional<CaptureHandle>& capture;
  CaptureSummary& summary;
  LivePcmSource source;
  JitterTargets targets;
  JitterBuffer buffer;
  std::uint32_t sample_rate;
  std::uint32_t timestamp = 0;

  std::optional<CaptureTotals> capture_totals_now() const {
    if (!capture || !capture->stats) return std::nullopt;
    return capture_totals(*capture->stats);
  }

  [[nodiscard]] SessionStatus send(const LivePacket& packet) {
    SessionStatus queued = queue_stream_packet(context, packet, timestamp);
    if (queued) timestamp += kFramesPerPacket;
    return queued;
  }
};

// Fills the buffer towards its start target until it is reached, startMaxWait has passed or a
// stop is requested; whatever is buffered then is what streaming begins with.
[[nodiscard]] SessionStatus prefill(LiveLoop& loop) {
  const auto start = Clock::now();
  const auto patience = loop.config.bufferProfile.startMaxWait;
  // Bounded by startMaxWait: every turn that does not end the prefill sleeps 20 ms.
  while (loop.buffer.size() < loop.targets.start && Clock::now() - start < patience &&
         !stop_requested(loop.context)) {
    if (const SessionError stored = read_worker_failure(loop.context.worker_failure);
        stored.is_error()) {
      return std::unexpected(stored);
    }
    auto filled =
        fill_packet_queue(loop.source, loop.buffer, loop.targets.start, loop.targets.capacity);
    if (!filled) return std::unexpected(filled.error());
    // A source that has ended can never reach the target: streaming plays out what it gave.
    if (*filled == FillStatus::ended) break;
    if (*filled == FillStatus::not_ready) std::this_thread::sleep_for(kPrefillRetry);
  }
  return {};
}

// Stops the capture and sends what it still delivers, until it has nothing more or the drain
// deadline has come; what is still buffered then is discarded.
[[nodiscard]] StreamOutcome drain(LiveLoop& loop, TransitionReason reason) {
  StreamContext& context = loop.context;
  begin_draining(context.shared, reason);
  if (loop.capture) {
    if (loop.capture->stats) loop.summary = summarize_capture(*loop.capture->stats);
    loop.capture.reset();  // stops the stream; the queue closes once it has delivered the rest
  }
  const auto deadline = std::min(Clock::now() + kDrainLimit, shutdown_deadline(context.shared));
  // Bounded by the deadline: every turn sends the packets it buffered or ends the drain.
  for (;;) {
    if (Clock::now() >= deadline) return reason;
    auto filled =
        fill_packet_queue(loop.source, loop.buffer, loop.targets.refill, loop.targets.capacity);
    if (!filled) return std::unexpected(filled.error());
    while (!loop.buffer.empty()) {
      if (Clock::now() >= deadline) return reason;
      apply_volume_change(context);
      if (const SessionStatus sent = loop.send(loop.buffer.front()); !sent) {
        return std::unexpected(sent.error());
      }
      loop.buffer.pop();
    }
    if (*filled != FillStatus::target_reached) return reason;
  }
}

[[nodiscard]] StreamOutcome stream(LiveLoop& loop) {
  StreamContext& context = loop.context;
  const auto streaming_start = Clock::now();
  const auto max_duration = loop.config.maxDuration;
  bool source_ended = false;
  // One packet per turn, paced by the hand-off; ends on the stop, the duration, a failure or the
  // end of the capture.
  for (;;) {
    if (const SessionStatus healthy = worker_failure_before_packet(context); !healthy) {
      return std::unexpected(healthy.error());
    }
    if (stop_requested(context)) return drain(loop, TransitionReason::stop_requested);
    if (max_duration && Clock::now() - streaming_start >= *max_duration) {
      return drain(loop, stop_requested(context) ? TransitionReason::stop_requested
                                                 : TransitionReason::duration_elapsed);
    }
    apply_volume_change(context);

    if (!source_ended && loop.buffer.size() < loop.targets.refill) {
      auto filled =
          fill_packet_queue(loop.source, loop.buffer, loop.targets.refill, loop.targets.capacity);
      if (!filled) return std::unexpected(filled.error());
      source_ended = *filled == FillStatus::ended;
    }
    // The sender takes packets at the receiver's pace; when it falls behind (a stall of its
    // thread restarts its schedule rather than catching up) the loop takes fewer packets than the
    // capture makes, and since it refills only to the refill target, the surplus waits in the
    // capture queue and never leaves it: the delay from capture to send would grow with every
    // stall, up to the seconds the queue holds. So what waits for the sender, in the queue, the
    // source and the jitter buffer together, may not exceed the jitter buffer's capacity: beyond
    // it the oldest chunks, the most overdue audio, are dropped whole. (Bounding the queue alone
    // by the capacity would still let the delay grow by that capacity on top of the buffer.) The
    // delay then stays within the packet channel and the buffer's capacity, and a chunk, not far
    // above where the prefill put it; a burst that fits in the buffer never loses anything.
    const std::size_t held =
        loop.buffer.size() * kFramesPerPacket + live_output_frames(loop.source);
    const std::size_t limit = capture_backlog_limit(loop.targets.capacity, held, loop.sample_rate);
    if (const std::size_t dropped = drop_capture_backlog(loop.source, limit); dropped > 0) {
      context.stats.bufferOverflows.fetch_add(dropped, std::memory_order_relaxed);
    }
    if (source_ended && loop.buffer.empty()) return TransitionReason::end_of_stream;

    const bool underrun = loop.buffer.empty();
    if (underrun) context.stats.underrunSilencePackets.fetch_add(1, std::memory_order_relaxed);
    if (const SessionStatus sent = loop.send(underrun ? kSilentPacket : loop.buffer.front());
        !sent) {
      return std::unexpected(sent.error());
    }
    if (!underrun) loop.buffer.pop();
    offer_stream_metrics(context, loop.capture_totals_now());
  }
}

}  // namespace

std::size_t capture_backlog_limit(std::size_t capacity_packets, std::size_t held_frames,
                                  std::uint32_t sample_rate) {
  const std::uint64_t capacity = std::uint64_t{capacity_packets} * kFramesPerPacket;
  if (held_frames >= capacity) return 1;
  // Whole chunks of device frames in the room left, counted at the device's rate.
  const std::uint64_t room = (capacity - held_frames) * sample_rate;
  const std::uint64_t chunk = std::uint64_t{kCaptureChunkSamples / 2} * kLiveOutputRate;
  return std::max<std::size_t>(static_cast<std::size_t>(room / chunk), 1);
}

CaptureSummary summarize_capture(const CaptureStats& stats) {
  CaptureSummary summary;
  summary.present = true;
  summary.totals = capture_totals(stats);
  summary.max_callback_gap_us = stats.max_callback_gap_us.load(std::memory_order_relaxed);
  return summary;
}

SessionExpected<FillStatus> fill_packet_queue(LivePcmSource& source, JitterBuffer& buffer,
                                              std::size_t target, std::size_t capacity) {
  const std::size_t goal = std::min({target, capacity, buffer.capacity()});
  // Bounded by the goal: every turn adds a packet or returns.
  while (buffer.size() < goal) {
    auto pulled = next_live_packet(source);
    if (!pulled) return std::unexpected(capture_failed());
    if (const auto* packet = std::get_if<LivePacket>(&*pulled)) {
      (void)buffer.push(*packet);
      continue;
    }
    return std::holds_alternative<LiveNotReady>(*pulled) ? FillStatus::not_ready
                                                         : FillStatus::ended;
  }
  return FillStatus::target_reached;
}

StreamOutcome stream_capture(support::Receiver<CaptureChunk> queue, std::uint32_t sample_rate,
                             const SessionConfig& config, StreamContext& context,
                             std::optional<CaptureHandle>& capture, CaptureSummary& summary) {
  auto source = new_live_source(std::move(queue), sample_rate);
  if (!source) return std::unexpected(capture_failed());
  const JitterTargets targets = jitter_targets(config.bufferProfile);
  LiveLoop loop{config,
                context,
                capture,
                summary,
                std::move(*source),
                targets,
                JitterBuffer(targets.capacity),
                sample_rate};
  if (const SessionStatus filled = prefill(loop); !filled) return std::unexpected(filled.error());
  return stream(loop);
}

}  // namespace kestrune::engine
