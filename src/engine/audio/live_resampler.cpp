#include "engine/audio/live_resampler.hpp"

#include <soxr.h>

#include <array>
#include <cmath>
#include <string>

#include "engine/audio/thread_rng.hpp"
#include "engine/audio/tpdf_dither.hpp"

namespace kestrune::engine {

namespace {

constexpr int kPrimingChunks = 3;
// The ratio may be moved up to this factor either way without a new resampler.
constexpr double kMaxRelativeRatio = 2.0;
// One call normally takes its whole input at once; a short output buffer would need more turns.
constexpr int kMaxTurnsPerChunk = 8;
constexpr float kInputScale = 1.0f / 32768.0f;

support::Error soxr_failure(const char* what, soxr_error_t error) {
  return support::Error(std::string(what) + ": " + (error != nullptr ? error : "unknown error"));
}

}  // namespace

void SoxrDelete::operator()(soxr* resampler) const { soxr_delete(resampler); }

support::Result<ResamplerPipeline> new_resampler_pipeline(std::uint32_t input_rate) {
  constexpr const char* kContext = "create rubato SincFixedIn resampler";
  if (input_rate < kMinLiveInputRate || input_rate > kMaxLiveInputRate) {
    return support::fail(support::Error("input rate " + std::to_string(input_rate) +
                                        " Hz is outside " + std::to_string(kMinLiveInputRate) +
                                        " to " + std::to_string(kMaxLiveInputRate) + " Hz")
                             .context(kContext));
  }
  const double io_ratio = static_cast<double>(input_rate) / kLiveOutputRate;
  // The variable-rate engine is the one that works like a sinc interpolator on fixed input
  // blocks: steady output per call and a small, fixed hold-back.
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, SOXR_VR);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  soxr_error_t error = nullptr;
  soxr* raw = soxr_create(io_ratio * kMaxRelativeRatio, 1.0, 2, &error, &io, &quality, &runtime);
  if (raw == nullptr || error != nullptr) {
    if (raw != nullptr) soxr_delete(raw);
    return support::fail(soxr_failure("soxr_create", error).context(kContext));
  }
  ResamplerPipeline pipeline;
  pipeline.resampler.reset(raw);
  if (soxr_error_t set = soxr_set_io_ratio(raw, io_ratio, 0); set != nullptr) {
    return support::fail(soxr_failure("soxr_set_io_ratio", set).context(kContext));
  }

  pipeline.input.reserve(2 * kResamplerChunkSamples);
  pipeline.left_in.resize(kResamplerChunkFrames);
  pipeline.right_in.resize(kResamplerChunkFrames);
  // Room for a whole call's output plus what the filter may have held back.
  const auto out_frames =
      static_cast<std::size_t>(std::ceil(kResamplerChunkFrames / io_ratio)) + 512;
  pipeline.left_out.resize(out_frames);
  pipeline.right_out.resize(out_frames);

  const std::array<std::int16_t, kResamplerChunkSamples> silence{};
  std::vector<std::int16_t> discarded;
  for (int chunk = 0; chunk < kPrimingChunks; ++chunk) {
    if (auto primed = resample_live_chunk(pipeline, silence, discarded); !primed) {
      return support::fail(std::move(primed).error());
    }
    discarded.clear();
  }
  return pipeline;
}

support::Status resample_live_chunk(ResamplerPipeline& pipeline,
                                    std::span<const std::int16_t, kResamplerChunkSamples> chunk,
                                    std::vector<std::int16_t>& out) {
  constexpr const char* kContext = "resample live PCM chunk";
  for (std::size_t frame = 0; frame < kResamplerChunkFrames; ++frame) {
    pipeline.left_in[frame] = static_cast<float>(chunk[2 * frame]) * kInputScale;
    pipeline.right_in[frame] = static_cast<float>(chunk[2 * frame + 1]) * kInputScale;
  }
  ThreadRng& rng = thread_rng();
  std::size_t consumed = 0;
  for (int turn = 0; turn < kMaxTurnsPerChunk && consumed < kResamplerChunkFrames; ++turn) {
    const float* in[2] = {pipeline.left_in.data() + consumed, pipeline.right_in.data() + consumed};
    float* result[2] = {pipeline.left_out.data(), pipeline.right_out.data()};
    std::size_t taken = 0;
    std::size_t produced = 0;
    soxr_error_t error =
        soxr_process(pipeline.resampler.get(), in, kResamplerChunkFrames - consumed, &taken, result,
                     pipeline.left_out.size(), &produced);
    if (error != nullptr)
      return support::fail(soxr_failure("soxr_process", error).context(kContext));
    consumed += taken;
    const std::size_t first = out.size();
    out.resize(first + 2 * produced);
    std::int16_t* const samples = out.data() + first;
    for (std::size_t frame = 0; frame < produced; ++frame) {
      const StereoDither dither = next_stereo_dither(rng);
      samples[2 * frame] = requantize_sample(pipeline.left_out[frame], dither.left);
      samples[2 * frame + 1] = requantize_sample(pipeline.right_out[frame], dither.right);
    }
  }
  if (consumed < kResamplerChunkFrames) {
    return support::fail(
        support::Error("the resampler did not take its whole input").context(kContext));
  }
  return {};
}

}  // namespace kestrune::engine
