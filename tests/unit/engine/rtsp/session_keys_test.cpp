#include "engine/rtsp/session_keys.hpp"

#include <gtest/gtest.h>

#include "tests/vectors/vector_file.hpp"

namespace kestrune::engine {
namespace {

using testing::VectorFile;

std::vector<std::uint8_t> bytes_of(const AeadKey& key) { return {key.begin(), key.end()}; }

TEST(SessionKeys, MatchTheIndependentlyComputedVectors) {
  const VectorFile vectors = VectorFile::load("session_keys.txt");
  const auto& k = vectors.bytes("session_key");
  ASSERT_EQ(k.size(), kSrpSessionKeySize);
  auto keys = derive_session_keys(std::span<const std::uint8_t, kSrpSessionKeySize>(k.data(), 64));
  ASSERT_TRUE(keys);
  EXPECT_EQ(bytes_of(keys->control_write_key), vectors.bytes("control_write_key"));
  EXPECT_EQ(bytes_of(keys->control_read_key), vectors.bytes("control_read_key"));
  EXPECT_EQ(bytes_of(keys->events_key), vectors.bytes("events_key"));
  EXPECT_EQ(bytes_of(keys->pair_setup_encrypt_key), vectors.bytes("pair_setup_encrypt_key"));
  // Same salt, different labels: the two control keys differ.
  EXPECT_NE(keys->control_write_key, keys->control_read_key);
}

}  // namespace
}  // namespace kestrune::engine
