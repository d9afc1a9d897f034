#pragma once
// Conversion of live audio from the capture device's rate to 44100 Hz: a windowed-sinc resampler
// (libsoxr, very high quality, in its variable-rate engine) fed exactly 1024 stereo frames per
// call, with the input scaled by 2^-15 and the output requantised to 16 bits with TPDF dither
// (times 32767, not 32768).
//
// Block structure and latency: every call takes the whole 1024 frames and gives what the filter
// has ready, about 1024 * 44100 / rate frames, varying by one frame from call to call once the
// filter is primed. The resampler holds back a short stretch of output (about 220 frames at
// 48000 Hz, some 5 ms; at most about 12 ms at other device rates) and removes its own filter
// delay, so the stretch held back is the whole latency. A new
// pipeline is primed with three silent chunks whose output is discarded, so the first real
// chunk's output begins with the held-back silence and then the audio.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "support/error.hpp"

struct soxr;

namespace kestrune::engine {

inline constexpr std::uint32_t kLiveOutputRate = 44100;
inline constexpr std::size_t kResamplerChunkFrames = 1024;
inline constexpr std::size_t kResamplerChunkSamples = 2 * kResamplerChunkFrames;
// Device rates the resampler takes; outside them a chunk's output would be absurdly large or
// vanishingly small.
inline constexpr std::uint32_t kMinLiveInputRate = 1000;
inline constexpr std::uint32_t kMaxLiveInputRate = 768000;

struct SoxrDelete {
  void operator()(soxr* resampler) const;
};

// The resampler and the buffers around it. Move-only.
struct ResamplerPipeline {
  std::unique_ptr<soxr, SoxrDelete> resampler;
  std::vector<std::int16_t> input;  // interleaved samples waiting for a full chunk
  std::vector<float> left_in, right_in, left_out, right_out;  // the library's two channel buffers
};

// A primed pipeline for `input_rate` (not 44100: that rate needs no pipeline). Fails with the
// context "create rubato SincFixedIn resampler", or with the error of a priming call.
support::Result<ResamplerPipeline> new_resampler_pipeline(std::uint32_t input_rate);

// Resamples one chunk of 1024 interleaved stereo frames and appends the dithered 44100 Hz samples
// to `out`. Failures have the context "resample live PCM chunk".
support::Status resample_live_chunk(ResamplerPipeline& pipeline,
                                    std::span<const std::int16_t, kResamplerChunkSamples> chunk,
                                    std::vector<std::int16_t>& out);

}  // namespace kestrune::engine
