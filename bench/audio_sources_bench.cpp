// The audio sources' per-chunk work on the coordinator and capture threads: converting a float
// device buffer in the capture callback, resampling one 1024-frame chunk to 44100 Hz with dither,
// and reading a WAV file of one minute from disk.

#include <benchmark/benchmark.h>
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

void BM_ResampleLiveChunk(benchmark::State& state) {
  auto pipeline = new_resampler_pipeline(static_cast<std::uint32_t>(state.range(0)));
  if (!pipeline) {
    state.SkipWithError(pipeline.error().describe().c_str());
    return;
  }
  std::array<std::int16_t, kResamplerChunkSamples> chunk{};
  for (std::size_t i = 0; i < chunk.size(); ++i) {
    chunk[i] = static_cast<std::int16_t>(16000 * std::sin(static_cast<double>(i) * 0.03));
  }
  std::vector<std::int16_t> out;
  for (auto _ : state) {
    out.clear();
    auto done = resample_live_chunk(*pipeline, chunk, out);
    benchmark::DoNotOptimize(done);
  }
  state.SetItemsProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_ResampleLiveChunk)->Arg(48000)->Arg(96000)->Arg(192000);

void BM_ReadWavMinute(benchmark::State& state) {
  constexpr std::uint32_t kDataBytes = 44100 * 4 * 60;
  std::vector<std::uint8_t> file = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E',
                                    'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 2, 0,
                                    0x44, 0xAC, 0, 0, 0x10, 0xB1, 2, 0, 4, 0, 16, 0,
                                    'd', 'a', 't', 'a'};
  for (int shift = 0; shift < 32; shift += 8) file.push_back(static_cast<std::uint8_t>(kDataBytes >> shift));
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

BENCHMARK_MAIN();
