#include "engine/rtp/sample_bytes.hpp"

#include <gtest/gtest.h>

#include <cstdint>
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

}  // namespace
}  // namespace kestrune::engine
