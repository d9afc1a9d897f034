#include "engine/core/session_id.hpp"

#include <gtest/gtest.h>

#include <set>

namespace kestrune::engine {
namespace {

TEST(SessionId, IsARandomVersionFourUuid) {
  std::set<SessionId> seen;
  for (int i = 0; i < 64; ++i) {
    auto id = make_session_id();
    ASSERT_TRUE(id) << id.error().describe();
    EXPECT_EQ((*id)[6] >> 4, 4);
    EXPECT_EQ((*id)[8] & 0xC0, 0x80);
    seen.insert(*id);
  }
  EXPECT_EQ(seen.size(), 64u);
}

TEST(SessionId, TextIsLowerCaseHexInGroupsOf8_4_4_4_12) {
  const SessionId id = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x46, 0x77,
                        0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  EXPECT_EQ(session_id_text(id), "00112233-4455-4677-8899-aabbccddeeff");
}

}  // namespace
}  // namespace kestrune::engine
