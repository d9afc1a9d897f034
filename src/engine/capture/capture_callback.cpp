#include "engine/capture/capture_callback.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

namespace kestrune::engine {

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr std::size_t kPendingCapacity = 4096;

std::uint32_t magnitude(std::int16_t sample) {
  return static_cast<std::uint32_t>(sample < 0 ? -static_cast<std::int32_t>(sample) : sample);
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return b > std::numeric_limits<std::uint64_t>::max() - a
             ? std::numeric_limits<std::uint64_t>::max()
             : a + b;
}

void note_callback(CaptureCallbackState& state, CaptureInstant now) {
  state.stats->callbacks.fetch_add(1, kRelaxed);
  if (state.previous_callback) {
    const auto gap =
        std::chrono::duration_cast<std::chrono::microseconds>(now - *state.previous_callback);
    raise_counter(state.stats->max_callback_gap_us,
                  static_cast<std::uint64_t>(std::max<std::int64_t>(gap.count(), 0)));
  }
  state.previous_callback = now;
}

// Cuts every complete chunk from the pending samples and offers it to the queue.
void send_chunks(CaptureCallbackState& state) {
  std::size_t taken = 0;
  while (state.pending.size() - taken >= kCaptureChunkSamples) {
    CaptureChunk chunk;
    std::copy_n(state.pending.begin() + static_cast<std::ptrdiff_t>(taken), kCaptureChunkSamples,
                chunk.samples.begin());
    chunk.sample_rate = state.sample_rate;
    chunk.channels = 2;
    taken += kCaptureChunkSamples;
    state.stats->chunks.fetch_add(1, kRelaxed);
    auto sent = state.queue.try_send(std::move(chunk));
    if (!sent) {
      if (sent.error() == support::TrySendError::full) {
        state.stats->queue_drops.fetch_add(1, kRelaxed);
      }
      state.pending.clear();
      return;
    }
  }
  state.pending.erase(state.pending.begin(),
                      state.pending.begin() + static_cast<std::ptrdiff_t>(taken));
}

template <class Sample>
void capture_samples(CaptureCallbackState& state, std::span<const Sample> samples,
                     CaptureInstant now) {
  note_callback(state, now);
  const std::size_t channels = state.device_channels;
  if (channels == 0) return;
  const std::size_t frames = samples.size() / channels;

  std::uint64_t sum = 0;
  std::uint32_t peak = 0;
  const std::size_t first = state.pending.size();
  state.pending.resize(first + 2 * frames);
  for (std::size_t frame = 0; frame < frames; ++frame) {
    const Sample* in = samples.data() + frame * channels;
    const std::int16_t left = capture_sample(in[0]);
    const std::int16_t right = channels > 1 ? capture_sample(in[1]) : left;
    state.pending[first + 2 * frame] = left;
    state.pending[first + 2 * frame + 1] = right;
    const std::uint32_t l = magnitude(left);
    const std::uint32_t r = magnitude(right);
    sum = saturating_add(sum, std::uint64_t{l} * l);
    sum = saturating_add(sum, std::uint64_t{r} * r);
    peak = std::max({peak, l, r});
  }

  CaptureStats& stats = *state.stats;
  stats.frames.fetch_add(frames, kRelaxed);
  stats.samples.fetch_add(2 * frames, kRelaxed);
  // Saturating rather than wrapping: hours of loud audio must not fold the level back to silence.
  add_saturating(stats.sum_of_squares, sum);
  raise_counter(stats.peak, peak);

  send_chunks(state);
}

}  // namespace

CaptureCallbackState::CaptureCallbackState(support::Sender<CaptureChunk> queue_sender,
                                           std::shared_ptr<CaptureStats> shared_stats,
                                           std::uint16_t channels, std::uint32_t rate)
    : queue(std::move(queue_sender)),
      stats(std::move(shared_stats)),
      device_channels(channels),
      sample_rate(rate) {
  pending.reserve(kPendingCapacity);
}

std::int16_t capture_sample(std::int16_t sample) { return sample; }

std::int16_t capture_sample(std::uint16_t sample) {
  return std::bit_cast<std::int16_t>(static_cast<std::uint16_t>(sample ^ 0x8000u));
}

std::int16_t capture_sample(float sample) {
  if (std::isnan(sample)) return 0;
  const float scaled = std::round(std::clamp(sample, -1.0f, 1.0f) * 32767.0f);
  return static_cast<std::int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

void capture_buffer(CaptureCallbackState& state, std::span<const std::int16_t> samples,
                    CaptureInstant now) {
  capture_samples(state, samples, now);
}

void capture_buffer(CaptureCallbackState& state, std::span<const std::uint16_t> samples,
                    CaptureInstant now) {
  capture_samples(state, samples, now);
}

void capture_buffer(CaptureCallbackState& state, std::span<const float> samples,
                    CaptureInstant now) {
  capture_samples(state, samples, now);
}

void capture_i16_callback(CaptureCallbackState& state, std::span<const std::int16_t> samples) {
  capture_buffer(state, samples, std::chrono::steady_clock::now());
}

void capture_u16_callback(CaptureCallbackState& state, std::span<const std::uint16_t> samples) {
  capture_buffer(state, samples, std::chrono::steady_clock::now());
}

void capture_f32_callback(CaptureCallbackState& state, std::span<const float> samples) {
  capture_buffer(state, samples, std::chrono::steady_clock::now());
}

void capture_error_callback(CaptureStats& stats, const support::Error&) {
  stats.callback_errors.fetch_add(1, kRelaxed);
}

}  // namespace kestrune::engine
