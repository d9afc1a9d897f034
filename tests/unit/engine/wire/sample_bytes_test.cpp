#include "engine/wire/sample_bytes.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <vector>

namespace kestrune::engine {
namespace {

TEST(SampleBytes, EachSampleBigEndianInOrder) {
  const std::vector<std::int16_t> samples = {0x0102, -1, -32768, 32767, 0, 0x00FF};
  const std::vector<std::uint8_t> expected = {0x01, 0x02, 0xFF, 0xFF, 0x80, 0x00,
                                              0x7F, 0xFF, 0x00, 0x00, 0x00, 0xFF};
  EXPECT_EQ(samples_to_be_bytes(samples), expected);
  EXPECT_TRUE(samples_to_be_bytes({}).empty());
}

// The conversion works on several samples at a time: every length around those groups, from
// and to buffers at any alignment, gives each sample's two bytes in place and nothing else.
TEST(SampleBytes, AnyLengthAndAlignment) {
  struct Case {
    std::size_t samples;
    std::size_t sample_offset;  // in samples
    std::size_t byte_offset;    // in bytes, odd ones misalign the 16-bit pairs
  };
  const Case cases[] = {{1, 0, 0},  {7, 1, 1},  {8, 0, 3},   {9, 3, 0},   {15, 0, 1},  {16, 1, 0},
                        {17, 0, 5}, {33, 2, 7}, {703, 0, 1}, {704, 0, 0}, {704, 1, 1}, {705, 3, 2}};
  for (const Case& c : cases) {
    std::vector<std::int16_t> source(c.sample_offset + c.samples);
    for (std::size_t i = 0; i < source.size(); ++i) {
      source[i] = static_cast<std::int16_t>(0x8001 + 0x1357 * i);  // distinct high and low bytes
    }
    const std::span<const std::int16_t> samples(source.data() + c.sample_offset, c.samples);
    constexpr std::uint8_t kGuard = 0xA5;
    std::vector<std::uint8_t> buffer(c.byte_offset + 2 * c.samples + 16, kGuard);
    write_samples_be(samples, std::span(buffer.data() + c.byte_offset, 2 * c.samples));
    for (std::size_t i = 0; i < c.samples; ++i) {
      const auto value = static_cast<std::uint16_t>(samples[i]);
      ASSERT_EQ(buffer[c.byte_offset + 2 * i], value >> 8) << c.samples << " sample " << i;
      ASSERT_EQ(buffer[c.byte_offset + 2 * i + 1], value & 0xFF) << c.samples << " sample " << i;
    }
    for (std::size_t i = 0; i < c.byte_offset; ++i) ASSERT_EQ(buffer[i], kGuard) << c.samples;
    for (std::size_t i = c.byte_offset + 2 * c.samples; i < buffer.size(); ++i) {
      ASSERT_EQ(buffer[i], kGuard) << c.samples << " byte " << i;
    }
  }
}

}  // namespace
}  // namespace kestrune::engine
