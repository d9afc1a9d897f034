#pragma once
// A WAV file in a directory of its own under /tmp for the life of the object, written with the
// WAV reader's test writer.

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/wav_builder.hpp"

namespace kestrune::testing {

class TempWavFile {
 public:
  // A PCM file of these interleaved samples in the format given (44100 Hz stereo 16-bit unless
  // said otherwise).
  explicit TempWavFile(std::span<const std::int16_t> samples, std::uint16_t channels = 2,
                       std::uint32_t rate = 44100)
      : TempWavFile(WavBuilder().fmt(1, channels, rate, 16).data(samples).bytes()) {}

  explicit TempWavFile(const std::vector<std::uint8_t>& bytes) {
    std::string pattern = "/tmp/kestrune-wav-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    directory_ = pattern;
    path_ = directory_ + "/audio.wav";
    std::ofstream out(path_, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path_);
  }
  ~TempWavFile() {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
  TempWavFile(const TempWavFile&) = delete;
  TempWavFile& operator=(const TempWavFile&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string directory_;
  std::string path_;
};

}  // namespace kestrune::testing
