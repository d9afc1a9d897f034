#include "engine/crypto/hkdf_sha512.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tests/vectors/vector_file.hpp"

namespace kestrune::engine {
namespace {

using testing::VectorFile;

TEST(HkdfSha512, MatchesTheIndependentlyComputedVectorBeyondOneBlock) {
  const VectorFile vectors = VectorFile::load("session_keys.txt");
  const auto& expected = vectors.bytes("hkdf_okm");
  std::vector<std::uint8_t> output(expected.size());
  ASSERT_GT(output.size(), 64u);
  ASSERT_TRUE(hkdf_sha512(vectors.bytes("hkdf_ikm"), vectors.bytes("hkdf_salt"),
                          vectors.bytes("hkdf_info"), output));
  EXPECT_EQ(output, expected);
}

}  // namespace
}  // namespace kestrune::engine
