#pragma once
// A test-only WAV writer: RIFF/WAVE files put together chunk by chunk, including the malformed
// ones a reader must refuse.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace kestrune::testing {

class WavBuilder {
 public:
  // "RIFF", a size patched in by bytes(), "WAVE".
  WavBuilder() {
    append_text("RIFF");
    append_u32(0);
    append_text("WAVE");
  }

  // A chunk with its true size, and the pad byte after an odd size unless `pad` is false.
  WavBuilder& chunk(std::string_view id, std::span<const std::uint8_t> body, bool pad = true) {
    header(id, static_cast<std::uint32_t>(body.size()));
    bytes_.insert(bytes_.end(), body.begin(), body.end());
    if (pad && body.size() % 2 == 1) bytes_.push_back(0);
    return *this;
  }

  // A chunk header alone, declaring whatever size.
  WavBuilder& header(std::string_view id, std::uint32_t declared_size) {
    append_text(id);
    append_u32(declared_size);
    return *this;
  }

  // A "fmt " chunk of `body_size` bytes (at least 16), the fields at their offsets.
  WavBuilder& fmt(std::uint16_t tag = 1, std::uint16_t channels = 2, std::uint32_t rate = 44100,
                  std::uint16_t bits = 16, std::size_t body_size = 16) {
    std::vector<std::uint8_t> body(body_size, 0);
    put_u16(body, 0, tag);
    put_u16(body, 2, channels);
    put_u32(body, 4, rate);
    put_u32(body, 8, rate * channels * bits / 8);
    put_u16(body, 12, static_cast<std::uint16_t>(channels * bits / 8));
    if (body_size >= 16) put_u16(body, 14, bits);
    return chunk("fmt ", body);
  }

  WavBuilder& data(std::span<const std::int16_t> samples) {
    std::vector<std::uint8_t> body;
    for (std::int16_t sample : samples) {
      const auto value = static_cast<std::uint16_t>(sample);
      body.push_back(static_cast<std::uint8_t>(value & 0xFF));
      body.push_back(static_cast<std::uint8_t>(value >> 8));
    }
    return chunk("data", body);
  }

  WavBuilder& raw(std::span<const std::uint8_t> stray) {
    bytes_.insert(bytes_.end(), stray.begin(), stray.end());
    return *this;
  }

  std::vector<std::uint8_t> bytes() const {
    std::vector<std::uint8_t> file = bytes_;
    put_u32(file, 4, static_cast<std::uint32_t>(file.size() - 8));
    return file;
  }

 private:
  void append_text(std::string_view text) { bytes_.insert(bytes_.end(), text.begin(), text.end()); }
  void append_u32(std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
      bytes_.push_back(static_cast<std::uint8_t>(value >> shift));
    }
  }
  static void put_u16(std::vector<std::uint8_t>& out, std::size_t at, std::uint16_t value) {
    out[at] = static_cast<std::uint8_t>(value);
    out[at + 1] = static_cast<std::uint8_t>(value >> 8);
  }
  static void put_u32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }

  std::vector<std::uint8_t> bytes_;
};

}  // namespace kestrune::testing
