// The WAV reader on hostile bytes: whatever the chunk sizes claim, it must neither read outside
// the input nor allocate for sizes the input does not hold, and what it accepts is stereo audio
// taken from the input itself.

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/wav/wav_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrune::engine;
  const std::span<const std::uint8_t> file(data, size);
  auto samples = parse_wav_bytes(file);
  if (!samples) {
    (void)samples.error().describe();
    return 0;
  }
  // Complete stereo frames, from a data chunk that lies inside the file after the 12-byte header
  // and its own 8-byte chunk header.
  if (samples->size() < 2 || samples->size() % 2 != 0) __builtin_trap();
  if (2 * samples->size() + 20 > size) __builtin_trap();
  (void)wav_pcm_samples(file);
  return 0;
}
