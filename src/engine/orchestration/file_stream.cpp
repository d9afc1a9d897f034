#include "engine/orchestration/file_stream.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "engine/wav/wav_reader.hpp"
#include "engine/wire/audio_packet.hpp"

namespace kestrune::engine {

namespace {

constexpr double kFileSampleRate = 44'100.0;

bool stop_requested(const StreamContext& context) {
  return context.shared.stop_requested.load(std::memory_order_acquire);
}

}  // namespace

std::uint64_t wav_frame_limit(std::optional<std::chrono::nanoseconds> max_duration) {
  constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();
  if (!max_duration) return kUnlimited;
  const std::int64_t count = max_duration->count();
  const double seconds =
      static_cast<double>(count / 1'000'000'000) + static_cast<double>(count % 1'000'000'000) / 1e9;
  const double frames = std::trunc(seconds * kFileSampleRate);
  if (!(frames > 0.0)) return 0;  // negative, zero (or not a number)
  // 2^64 as a double; anything at or beyond it does not fit.
  if (frames >= 18446744073709551616.0) return kUnlimited;
  return static_cast<std::uint64_t>(frames);
}

StreamOutcome stream_wav_file(const std::string& path,
                              std::optional<std::chrono::nanoseconds> max_duration,
                              StreamContext& context) {
  auto samples = read_wav_file(path);
  // The reader's error text ("read WAV <path>: ...") is dropped: the host sees the code only.
  if (!samples) {
    return std::unexpected(SessionError::of(SessionErrorKind::config_error, SessionStage::capture));
  }
  return stream_wav_samples(*samples, max_duration, context);
}

StreamOutcome stream_wav_samples(std::span<const std::int16_t> samples,
                                 std::optional<std::chrono::nanoseconds> max_duration,
                                 StreamContext& context) {
  const std::uint64_t frame_limit = wav_frame_limit(max_duration);
  const bool limited = max_duration.has_value();
  std::size_t position = 0;
  std::uint64_t frames_sent = 0;
  std::uint32_t timestamp = 0;
  std::array<std::int16_t, kSamplesPerPacket> packet{};

  // One turn per packet: bounded by the file's length.
  while (position < samples.size()) {
    if (const SessionStatus healthy = worker_failure_before_packet(context); !healthy) {
      return std::unexpected(healthy.error());
    }
    if (stop_requested(context)) return TransitionReason::stop_requested;
    if (frames_sent >= frame_limit) return TransitionReason::duration_elapsed;
    apply_volume_change(context);

    const std::uint64_t frames_allowed =
        std::min<std::uint64_t>(frame_limit - frames_sent, kFramesPerPacket);
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(
        2 * frames_allowed, std::min<std::size_t>(samples.size() - position, kSamplesPerPacket)));
    packet.fill(0);
    std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(position), take, packet.begin());
    if (const SessionStatus queued = queue_stream_packet(context, packet, timestamp); !queued) {
      return std::unexpected(queued.error());
    }
    offer_stream_metrics(context, std::nullopt);

    frames_sent += take / 2;
    if (take != kSamplesPerPacket) {
      return limited && frames_sent >= frame_limit ? TransitionReason::duration_elapsed
                                                   : TransitionReason::end_of_stream;
    }
    position += kSamplesPerPacket;
    timestamp += kFramesPerPacket;
  }
  if (stop_requested(context)) return TransitionReason::stop_requested;
  if (limited && frames_sent >= frame_limit) return TransitionReason::duration_elapsed;
  return TransitionReason::end_of_stream;
}

}  // namespace kestrune::engine
