#pragma once
// The WAV reader for the file source. It takes only audio that goes to the receiver unchanged:
// RIFF/WAVE, PCM (format tag 1), 2 channels, 44100 Hz, 16 bits, and gives its samples, interleaved
// left, right (an even count, at least 2).
//
// Chunks are walked from offset 12 (4-byte id, 4-byte little-endian size, the body, one pad byte
// after an odd size); the last "fmt " and the last "data" chunk win, other chunks are skipped,
// fewer than 8 trailing bytes are ignored and the last chunk's pad byte may be missing. The RIFF
// size is not checked. Errors, in the order they are checked:
//   "not a RIFF/WAVE file"                 shorter than 12 bytes, or no "RIFF" / "WAVE" tag
//   "WAV has no fmt chunk"                 shorter than 20 bytes, or no "fmt " chunk
//   "truncated WAV chunk"                  a chunk's body runs past the end of the file
//   "WAV fmt chunk is too short"           a "fmt " body under 16 bytes
//   "WAV has no data chunk"
//   "WAV must be PCM 44100 Hz, 16-bit, stereo"
//   "WAV data must contain complete non-empty stereo frames"   data size 0 or not a multiple of 4
//
// Memory: only the chunk headers are read during the walk, and only the winning data chunk's body
// is loaded, after every size has been checked against the file; a declared size the file does not
// hold never allocates anything.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "support/error.hpp"

namespace kestrune::engine {

// Reads and checks the file at `path`. A file that cannot be read (missing, not a regular file, a
// read error) fails with that error and the context "read WAV <path>".
support::Result<std::vector<std::int16_t>> read_wav_file(const std::string& path);

// The same rules on a whole file already in memory.
support::Result<std::vector<std::int16_t>> parse_wav_bytes(std::span<const std::uint8_t> file);

// Each pair of bytes as a little-endian signed 16-bit sample (an odd last byte is ignored).
std::vector<std::int16_t> wav_pcm_samples(std::span<const std::uint8_t> data);

}  // namespace kestrune::engine
