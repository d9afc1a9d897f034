#pragma once
// The file stream loop: plays a WAV file (already 44100 Hz stereo 16-bit) as packets of 352
// frames, paced by the blocking hand-off to "rt-sender". Before every packet it looks, in this
// order, at the workers' failures, the stop request, the frame limit of the maximum duration and
// a volume change. A short last packet (the file's end or the duration's cut) is padded with
// silence and ends the stream. There is no jitter buffer, no underrun and no draining state.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "engine/orchestration/stream_context.hpp"

namespace kestrune::engine {

// The frames a maximum duration allows: seconds × 44100 in double precision, toward zero; the
// largest value without a maximum duration.
std::uint64_t wav_frame_limit(std::optional<std::chrono::nanoseconds> max_duration);

// Reads the whole file first: any problem with it is config_error at capture (not retryable), the
// reader's message dropped. Then streams its samples as stream_wav_samples does.
[[nodiscard]] StreamOutcome stream_wav_file(const std::string& path,
                                            std::optional<std::chrono::nanoseconds> max_duration,
                                            StreamContext& context);

// The loop itself over interleaved stereo samples (an even count).
[[nodiscard]] StreamOutcome stream_wav_samples(std::span<const std::int16_t> samples,
                                               std::optional<std::chrono::nanoseconds> max_duration,
                                               StreamContext& context);

}  // namespace kestrune::engine
