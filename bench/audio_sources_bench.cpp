// The audio sources' per-chunk work on the coordinator and capture threads: converting a float
// device buffer in the capture callback, resampling one 1024-frame chunk to 44100 Hz with dither
// beside libsoxr alone on the same chunk with the same resampler (the cost per audio second of
// both and their ratio), and reading a WAV file of one minute from disk.

#include <benchmark/benchmark.h>
#include <soxr.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/audio/live_resampler.hpp"
#include "engine/capture/capture_callback.hpp"
#include "engine/wav/wav_reader.hpp"
#include "same_run_baseline.hpp"

namespace {

using namespace kestrune::engine;

void BM_CaptureFloatCallback(benchmark::State& state) {
  auto [sender, receiver] = kestrune::support::channel<CaptureChunk>(kCaptureQueueChunks);
  CaptureCallbackState callback(std::move(sender), std::make_shared<CaptureStats>(), 2, 48000);
  std::vector<float> buffer(2 * 480);  // 10 ms at 48000 Hz
  for (std::size_t i = 0; i < buffer.size(); ++i) {
    buffer[i] = static_cast<float>(0.5 * std::sin(static_cast<double>(i) * 0.01));
  }
  for (auto _ : state) {
    capture_f32_callback(callback, buffer);
    while (receiver.try_recv()) {
    }
  }
  state.SetItemsProcessed(state.iterations() * 480);
}
BENCHMARK(BM_CaptureFloatCallback);

constexpr std::int64_t kBenchRates[] = {48000, 96000, 192000};

// The same interleaved chunk for every benchmark: a half-scale 0.03 rad/sample sine.
std::array<std::int16_t, kResamplerChunkSamples> test_chunk() {
  std::array<std::int16_t, kResamplerChunkSamples> chunk{};
  for (std::size_t i = 0; i < chunk.size(); ++i) {
    chunk[i] = static_cast<std::int16_t>(16000 * std::sin(static_cast<double>(i) * 0.03));
  }
  return chunk;
}

void BM_ResampleLiveChunk(benchmark::State& state) {
  auto pipeline = new_resampler_pipeline(static_cast<std::uint32_t>(state.range(0)));
  if (!pipeline) {
    state.SkipWithError(pipeline.error().describe().c_str());
    return;
  }
  const auto chunk = test_chunk();
  std::vector<std::int16_t> out;
  for (auto _ : state) {
    out.clear();
    auto done = resample_live_chunk(*pipeline, chunk, out);
    benchmark::DoNotOptimize(done);
  }
  state.SetItemsProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_ResampleLiveChunk)->Arg(kBenchRates[0])->Arg(kBenchRates[1])->Arg(kBenchRates[2]);

// The baseline: the pipeline's own resampler (so the very same settings), given the chunk already
// split and scaled to floats, its output left as floats.
void BM_RawSoxrChunk(benchmark::State& state) {
  auto pipeline = new_resampler_pipeline(static_cast<std::uint32_t>(state.range(0)));
  if (!pipeline) {
    state.SkipWithError(pipeline.error().describe().c_str());
    return;
  }
  const auto chunk = test_chunk();
  std::vector<float> left(kResamplerChunkFrames), right(kResamplerChunkFrames);
  for (std::size_t frame = 0; frame < kResamplerChunkFrames; ++frame) {
    left[frame] = static_cast<float>(chunk[2 * frame]) / 32768.0f;
    right[frame] = static_cast<float>(chunk[2 * frame + 1]) / 32768.0f;
  }
  for (auto _ : state) {
    const float* in[2] = {left.data(), right.data()};
    float* out[2] = {pipeline->left_out.data(), pipeline->right_out.data()};
    std::size_t taken = 0;
    std::size_t produced = 0;
    const soxr_error_t error = soxr_process(pipeline->resampler.get(), in, kResamplerChunkFrames,
                                            &taken, out, pipeline->left_out.size(), &produced);
    if (error != nullptr || taken != kResamplerChunkFrames) {
      state.SkipWithError("soxr_process did not take the whole chunk");
      break;
    }
    benchmark::DoNotOptimize(produced);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_RawSoxrChunk)->Arg(kBenchRates[0])->Arg(kBenchRates[1])->Arg(kBenchRates[2]);

void BM_ReadWavMinute(benchmark::State& state) {
  constexpr std::uint32_t kDataBytes = 44100 * 4 * 60;
  std::vector<std::uint8_t> file = {'R', 'I', 'F', 'F', 0,    0,    0,   0,   'W',  'A',
                                    'V', 'E', 'f', 'm', 't',  ' ',  16,  0,   0,    0,
                                    1,   0,   2,   0,   0x44, 0xAC, 0,   0,   0x10, 0xB1,
                                    2,   0,   4,   0,   16,   0,    'd', 'a', 't',  'a'};
  for (int shift = 0; shift < 32; shift += 8)
    file.push_back(static_cast<std::uint8_t>(kDataBytes >> shift));
  file.resize(file.size() + kDataBytes, 0x11);
  char path[] = "/tmp/kestrune-bench-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0 || ::write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size())) {
    state.SkipWithError("cannot write the WAV file");
    return;
  }
  ::close(fd);
  for (auto _ : state) {
    auto samples = read_wav_file(path);
    benchmark::DoNotOptimize(samples);
  }
  ::unlink(path);
  state.SetBytesProcessed(state.iterations() * kDataBytes);
}
BENCHMARK(BM_ReadWavMinute);

}  // namespace

int main(int argc, char** argv) {
  kestrune::bench::SameRunTimes reporter;
  if (!kestrune::bench::run_benchmarks(argc, argv, reporter)) return 1;
  for (const std::int64_t rate : kBenchRates) {
    const std::string arg = "/" + std::to_string(rate);
    const double live = reporter.median_of("BM_ResampleLiveChunk" + arg);
    const double raw = reporter.median_of("BM_RawSoxrChunk" + arg);
    if (live <= 0 || raw <= 0) continue;
    // Nanoseconds per chunk to milliseconds per second of audio at the device rate.
    const double chunks_per_second = static_cast<double>(rate) / kResamplerChunkFrames;
    std::printf(
        "resampling %lld Hz to 44100 Hz with dither %.3f ms CPU per audio second, raw libsoxr "
        "%.3f ms in the same run: %.2fx\n",
        static_cast<long long>(rate), live * chunks_per_second / 1e6, raw * chunks_per_second / 1e6,
        live / raw);
  }
  return 0;
}
