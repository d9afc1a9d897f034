#include "engine/wav/wav_reader.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "platform/file_reader.hpp"

namespace kestrune::engine {

namespace {

constexpr std::size_t kChunkHeaderBytes = 8;
constexpr std::size_t kFmtFieldBytes = 16;

struct WavFormat {
  std::uint16_t format_tag = 0;
  std::uint16_t channels = 0;
  std::uint32_t sample_rate = 0;
  std::uint16_t bits_per_sample = 0;
};

struct DataChunk {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::uint32_t le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

bool tag_is(const std::uint8_t* p, const char (&tag)[5]) { return std::memcmp(p, tag, 4) == 0; }

// A file in memory.
class MemoryBytes {
 public:
  explicit MemoryBytes(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint64_t size() const { return bytes_.size(); }
  support::Status read_at(std::uint64_t offset, std::span<std::uint8_t> out) const {
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
    return {};
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

// A regular file; small reads (the chunk headers) come through a read-ahead window, so a walk
// over many small chunks costs one read of the file per window, not per chunk.
class FileBytes {
 public:
  static support::Result<FileBytes> open(const std::string& path) {
    auto file = platform::FileReader::open(path);
    if (!file) return support::fail(std::move(file).error());
    return FileBytes(std::move(*file));
  }

  std::uint64_t size() const { return file_.size(); }

  support::Status read_at(std::uint64_t offset, std::span<std::uint8_t> out) {
    if (out.size() <= kWindowBytes / 4) {
      if (offset < window_offset_ || offset + out.size() > window_offset_ + window_size_) {
        const std::size_t wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(kWindowBytes, size() - offset));
        if (auto filled = file_.read_exact_at(offset, std::span(window_->data(), wanted));
            !filled) {
          window_size_ = 0;
          return filled;
        }
        window_offset_ = offset;
        window_size_ = wanted;
      }
      std::copy_n(window_->begin() + static_cast<std::ptrdiff_t>(offset - window_offset_),
                  out.size(), out.begin());
      return {};
    }
    return file_.read_exact_at(offset, out);
  }

 private:
  static constexpr std::size_t kWindowBytes = 64 * 1024;

  explicit FileBytes(platform::FileReader file)
      : file_(std::move(file)),
        window_(std::make_unique<std::array<std::uint8_t, kWindowBytes>>()) {}

  platform::FileReader file_;
  std::unique_ptr<std::array<std::uint8_t, kWindowBytes>> window_;
  std::uint64_t window_offset_ = 0;
  std::size_t window_size_ = 0;
};

template <class Bytes>
support::Result<std::vector<std::int16_t>> read_wav(Bytes& bytes,
                                                    const std::optional<std::string>& path) {
  auto read_failed = [&](support::Status&& status) {
    support::Error error = std::move(status).error();
    if (path) error = std::move(error).context("read WAV " + *path);
    return support::fail(std::move(error));
  };

  const std::uint64_t length = bytes.size();
  std::array<std::uint8_t, 12> header{};
  if (length < header.size()) return support::fail("not a RIFF/WAVE file");
  if (auto got = bytes.read_at(0, header); !got) return read_failed(std::move(got));
  if (!tag_is(header.data(), "RIFF") || !tag_is(header.data() + 8, "WAVE")) {
    return support::fail("not a RIFF/WAVE file");
  }
  if (length < 20) return support::fail("WAV has no fmt chunk");

  std::optional<WavFormat> format;
  std::optional<DataChunk> data;
  std::uint64_t position = 12;
  // Every chunk moves the position on by at least its 8-byte header.
  for (std::uint64_t turn = 0; turn <= length / kChunkHeaderBytes; ++turn) {
    std::array<std::uint8_t, kChunkHeaderBytes> chunk{};
    if (auto got = bytes.read_at(position, chunk); !got) return read_failed(std::move(got));
    const std::uint64_t size = le32(chunk.data() + 4);
    const std::uint64_t body = position + kChunkHeaderBytes;
    if (body + size > length) return support::fail("truncated WAV chunk");
    if (tag_is(chunk.data(), "data")) {
      data = DataChunk{body, size};
    } else if (tag_is(chunk.data(), "fmt ")) {
      if (size < kFmtFieldBytes) return support::fail("WAV fmt chunk is too short");
      std::array<std::uint8_t, kFmtFieldBytes> fields{};
      if (auto got = bytes.read_at(body, fields); !got) return read_failed(std::move(got));
      format = WavFormat{le16(fields.data()), le16(fields.data() + 2), le32(fields.data() + 4),
                         le16(fields.data() + 14)};
    }
    const std::uint64_t next = body + size + (size & 1);
    if (next >= length || length - next < kChunkHeaderBytes) break;
    position = next;
  }

  if (!format) return support::fail("WAV has no fmt chunk");
  if (!data) return support::fail("WAV has no data chunk");
  if (format->sample_rate != 44100 || format->bits_per_sample != 16 || format->channels != 2 ||
      format->format_tag != 1) {
    return support::fail("WAV must be PCM 44100 Hz, 16-bit, stereo");
  }
  if (data->size == 0 || data->size % 4 != 0) {
    return support::fail("WAV data must contain complete non-empty stereo frames");
  }

  std::vector<std::int16_t> samples;
  try {
    samples.resize(static_cast<std::size_t>(data->size / 2));
  } catch (const std::bad_alloc&) {
    return support::fail("WAV data does not fit in memory");
  }
  auto raw = std::as_writable_bytes(std::span(samples));
  std::span<std::uint8_t> target(reinterpret_cast<std::uint8_t*>(raw.data()), raw.size());
  if (auto got = bytes.read_at(data->offset, target); !got) return read_failed(std::move(got));
  if constexpr (std::endian::native == std::endian::big) {
    for (std::int16_t& sample : samples) sample = std::byteswap(sample);
  }
  return samples;
}

}  // namespace

support::Result<std::vector<std::int16_t>> read_wav_file(const std::string& path) {
  auto file = FileBytes::open(path);
  if (!file) return support::fail_with_context(std::move(file), "read WAV " + path);
  return read_wav(*file, path);
}

support::Result<std::vector<std::int16_t>> parse_wav_bytes(std::span<const std::uint8_t> file) {
  MemoryBytes bytes(file);
  return read_wav(bytes, std::nullopt);
}

std::vector<std::int16_t> wav_pcm_samples(std::span<const std::uint8_t> data) {
  std::vector<std::int16_t> samples(data.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<std::int16_t>(le16(data.data() + 2 * i));
  }
  return samples;
}

}  // namespace kestrune::engine
