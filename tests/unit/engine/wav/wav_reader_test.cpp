#include "engine/wav/wav_reader.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "tests/support/wav_builder.hpp"

namespace kestrune::engine {
namespace {

using testing::WavBuilder;
using Bytes = std::vector<std::uint8_t>;
using Samples = std::vector<std::int16_t>;

const Samples kTwoFrames = {1, -1, 32767, -32768};

// A private directory for the files of one test, removed afterwards.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrune-wav-XXXXXX").string();
    const char* made = ::mkdtemp(pattern.data());
    EXPECT_NE(made, nullptr);
    path_ = pattern;
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string write(const std::string& name, const Bytes& bytes) const {
    const std::string file = (path_ / name).string();
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return file;
  }
  std::string path(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

struct WavCase {
  std::string name;
  std::function<Bytes()> file;
  std::variant<Samples, std::string> expected;  // the samples, or the error message
};

void PrintTo(const WavCase& c, std::ostream* out) { *out << c.name; }

Bytes minimal() { return WavBuilder().fmt().data(kTwoFrames).bytes(); }

Bytes cut(Bytes bytes, std::size_t size) {
  bytes.resize(size);
  return bytes;
}

Bytes with(Bytes bytes, std::size_t at, std::string_view text) {
  std::copy(text.begin(), text.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
  return bytes;
}

const Bytes kOdd = {1, 2, 3};
const Bytes kList = {'I', 'N', 'F', 'O', 'I', 'S', 'F', 'T', 4, 0, 0, 0, 'k', 'e', 's', 0};

std::vector<WavCase> cases() {
  const std::string kNotRiff = "not a RIFF/WAVE file";
  const std::string kNoFmt = "WAV has no fmt chunk";
  const std::string kTruncated = "truncated WAV chunk";
  const std::string kFmtShort = "WAV fmt chunk is too short";
  const std::string kNoData = "WAV has no data chunk";
  const std::string kFormat = "WAV must be PCM 44100 Hz, 16-bit, stereo";
  const std::string kFrames = "WAV data must contain complete non-empty stereo frames";
  return {
      {"minimal", minimal, kTwoFrames},
      {"list_chunk_between",
       [] { return WavBuilder().fmt().chunk("LIST", kList).data(kTwoFrames).bytes(); }, kTwoFrames},
      {"odd_chunk_with_pad",
       [] { return WavBuilder().fmt().chunk("junk", kOdd).data(kTwoFrames).bytes(); }, kTwoFrames},
      {"odd_last_chunk_without_pad",
       [] { return WavBuilder().fmt().data(kTwoFrames).chunk("junk", kOdd, false).bytes(); },
       kTwoFrames},
      {"data_before_fmt", [] { return WavBuilder().data(kTwoFrames).fmt().bytes(); }, kTwoFrames},
      {"extensible_fmt_body",
       [] { return WavBuilder().fmt(1, 2, 44100, 16, 40).data(kTwoFrames).bytes(); }, kTwoFrames},
      {"one_stray_byte", [] { return WavBuilder().fmt().data(kTwoFrames).raw(Bytes{9}).bytes(); },
       kTwoFrames},
      {"seven_stray_bytes",
       [] { return WavBuilder().fmt().data(kTwoFrames).raw(Bytes(7, 0xEE)).bytes(); }, kTwoFrames},
      {"eight_stray_bytes_are_a_chunk",
       [] { return WavBuilder().fmt().data(kTwoFrames).header("tail", 5).bytes(); }, kTruncated},
      {"second_data_chunk_wins",
       [] { return WavBuilder().fmt().data(Samples{7, 7}).data(kTwoFrames).bytes(); }, kTwoFrames},
      {"last_fmt_wins_good", [] { return WavBuilder().fmt(1, 1).data(kTwoFrames).fmt().bytes(); },
       kTwoFrames},
      {"last_fmt_wins_bad", [] { return WavBuilder().fmt().data(kTwoFrames).fmt(1, 1).bytes(); },
       kFormat},

      {"empty", [] { return Bytes{}; }, kNotRiff},
      {"eleven_bytes", [] { return cut(minimal(), 11); }, kNotRiff},
      {"rifx", [] { return with(minimal(), 0, "RIFX"); }, kNotRiff},
      {"not_wave", [] { return with(minimal(), 8, "AVI "); }, kNotRiff},
      {"header_only", [] { return cut(minimal(), 12); }, kNoFmt},
      {"nineteen_bytes", [] { return cut(minimal(), 19); }, kNoFmt},
      {"no_fmt", [] { return WavBuilder().data(kTwoFrames).bytes(); }, kNoFmt},
      {"no_chunks_of_note", [] { return WavBuilder().chunk("LIST", kList).bytes(); }, kNoFmt},
      {"data_longer_than_file", [] { return cut(minimal(), minimal().size() - 1); }, kTruncated},
      {"hostile_data_size",
       [] { return WavBuilder().fmt().header("data", 0xFFFFFFFF).raw(Bytes(8, 0)).bytes(); },
       kTruncated},
      {"hostile_size_near_end",
       [] { return WavBuilder().fmt().data(kTwoFrames).header("junk", 0xFFFFFFF8).bytes(); },
       kTruncated},
      {"fmt_longer_than_file",
       [] { return WavBuilder().header("fmt ", 100).raw(Bytes(16, 0)).bytes(); }, kTruncated},
      {"fmt_fifteen_bytes",
       [] { return WavBuilder().chunk("fmt ", Bytes(15, 0)).fmt().data(kTwoFrames).bytes(); },
       kFmtShort},
      {"no_data", [] { return WavBuilder().fmt().chunk("LIST", kList).bytes(); }, kNoData},
      {"no_data_bad_format", [] { return WavBuilder().fmt(3).bytes(); }, kNoData},
      {"mono", [] { return WavBuilder().fmt(1, 1).data(kTwoFrames).bytes(); }, kFormat},
      {"rate_48000", [] { return WavBuilder().fmt(1, 2, 48000).data(kTwoFrames).bytes(); },
       kFormat},
      {"bits_24", [] { return WavBuilder().fmt(1, 2, 44100, 24).data(kTwoFrames).bytes(); },
       kFormat},
      {"float_tag", [] { return WavBuilder().fmt(3, 2, 44100, 16).data(kTwoFrames).bytes(); },
       kFormat},
      {"extensible_tag",
       [] { return WavBuilder().fmt(0xFFFE, 2, 44100, 16, 40).data(kTwoFrames).bytes(); }, kFormat},
      {"format_before_frames", [] { return WavBuilder().fmt(1, 1).data(Samples{1, 2, 3}).bytes(); },
       kFormat},
      {"empty_data", [] { return WavBuilder().fmt().data(Samples{}).bytes(); }, kFrames},
      {"one_sample", [] { return WavBuilder().fmt().data(Samples{5}).bytes(); }, kFrames},
      {"three_samples", [] { return WavBuilder().fmt().data(Samples{1, 2, 3}).bytes(); }, kFrames},
      {"odd_data_size", [] { return WavBuilder().fmt().chunk("data", kOdd).bytes(); }, kFrames},
  };
}

class WavFiles : public ::testing::TestWithParam<WavCase> {};

void expect_outcome(const support::Result<Samples>& result, const WavCase& c, const char* how) {
  SCOPED_TRACE(how);
  if (const auto* samples = std::get_if<Samples>(&c.expected)) {
    ASSERT_TRUE(result.has_value()) << result.error().describe();
    EXPECT_EQ(*result, *samples);
  } else {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().root_message(), std::get<std::string>(c.expected));
    EXPECT_TRUE(result.error().contexts().empty()) << result.error().describe();
  }
}

TEST_P(WavFiles, ReadFromMemoryAndFromDisk) {
  const WavCase& c = GetParam();
  const Bytes file = c.file();
  expect_outcome(parse_wav_bytes(file), c, "memory");
  TempDir dir;
  expect_outcome(read_wav_file(dir.write("case.wav", file)), c, "disk");
}

INSTANTIATE_TEST_SUITE_P(Table, WavFiles, ::testing::ValuesIn(cases()),
                         [](const auto& test) { return test.param.name; });

// Long walks: many small chunks and a data chunk much larger than the reader's read-ahead
// window, with chunk headers falling across window boundaries.
TEST(WavReader, LongFilesReadTheSameFromDisk) {
  Samples samples(300'000);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<std::int16_t>((i * 7919) % 65536 - 32768);
  }
  WavBuilder builder;
  builder.fmt();
  for (int i = 0; i < 20'000; ++i) builder.chunk("pad ", kOdd);  // 12 bytes each
  builder.data(samples).chunk("LIST", kList);
  const Bytes file = builder.bytes();
  ASSERT_GT(file.size(), 3u * 64 * 1024);

  auto from_memory = parse_wav_bytes(file);
  ASSERT_TRUE(from_memory.has_value()) << from_memory.error().describe();
  EXPECT_EQ(*from_memory, samples);
  TempDir dir;
  auto from_disk = read_wav_file(dir.write("long.wav", file));
  ASSERT_TRUE(from_disk.has_value()) << from_disk.error().describe();
  EXPECT_EQ(*from_disk, samples);
}

TEST(WavReader, FilesThatCannotBeReadNameTheirPath) {
  TempDir dir;
  const std::string fifo = dir.path("pipe.wav");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string missing = dir.path("missing.wav");
  const std::string directory = dir.path("");

  struct Unreadable {
    std::string path;
    std::string root;
  };
  const std::vector<Unreadable> unreadable = {
      {missing, "open: No such file or directory"},
      {directory, "not a regular file"},
      {fifo, "not a regular file"},         // would never end, and must not block the open
      {"/dev/zero", "not a regular file"},  // would never end either
  };
  for (const Unreadable& file : unreadable) {
    SCOPED_TRACE(file.path);
    auto result = read_wav_file(file.path);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().root_message(), file.root);
    EXPECT_EQ(result.error().contexts(), std::vector<std::string>{"read WAV " + file.path});
  }
}

TEST(WavReader, PcmSamplesAreLittleEndianPairs) {
  const Bytes data = {0x01, 0x00, 0xFF, 0x7F, 0x00, 0x80, 0xFF, 0xFF, 0x34, 0x12, 0xAB};
  EXPECT_EQ(wav_pcm_samples(data), (Samples{1, 32767, -32768, -1, 0x1234}));
  EXPECT_TRUE(wav_pcm_samples(Bytes{0x01}).empty());
}

}  // namespace
}  // namespace kestrune::engine
