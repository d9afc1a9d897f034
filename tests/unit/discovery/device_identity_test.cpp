#include "discovery/device_identity.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace kestrune::discovery {
namespace {

TEST(NormalizeDeviceId, AcceptsTwelveHexDigitsInAnySeparatedForm) {
  struct Case {
    const char* text;
    std::optional<std::string> identity;
  };
  const Case cases[] = {
      {"AA:BB:CC:DD:EE:FF", "aabbccddeeff"},  {"aabbccddeeff", "aabbccddeeff"},
      {"aa-bb-cc-dd-ee-ff", "aabbccddeeff"},  {"A:A-B:B:CC:DDEEFF::", "aabbccddeeff"},
      {"00:11:22:33:44:55", "001122334455"},  {"AA:BB:CC:DD:EE", std::nullopt},  // 10 digits
      {"AA:BB:CC:DD:EE:FF:00", std::nullopt},                                    // 14 digits
      {"AA:BB:CC:DD:EE:FG", std::nullopt},  // G is not hexadecimal
      {"AA BB CC DD EE FF", std::nullopt},  // spaces are not separators
      {"AA.BB.CC.DD.EE.FF", std::nullopt},    {"", std::nullopt},
      {"------------", std::nullopt},         {"aabbccddeef\xC3\xA9", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(normalize_device_id(c.text), c.identity);
  }
}

TEST(StableDeviceId, MatchesIdsComputedIndependently) {
  // stable_ids.txt was written by stable_ids.py beside it, with Python's hashlib.
  std::ifstream vectors(KESTRUNE_DISCOVERY_VECTORS "/stable_ids.txt");
  ASSERT_TRUE(vectors) << "missing " KESTRUNE_DISCOVERY_VECTORS "/stable_ids.txt";
  std::string identity;
  std::string expected;
  std::size_t checked = 0;
  while (checked < 100 && vectors >> identity >> expected) {
    SCOPED_TRACE(identity);
    const std::string id = stable_device_id(identity);
    EXPECT_EQ(id, expected);
    EXPECT_EQ(id.size(), 68u);
    ++checked;
  }
  EXPECT_GE(checked, 2u);
}

TEST(StableDeviceId, DependsOnlyOnTheIdentity) {
  EXPECT_EQ(stable_device_id("aabbccddeeff"), stable_device_id("aabbccddeeff"));
  EXPECT_NE(stable_device_id("aabbccddeeff"), stable_device_id("aabbccddeefe"));
}

TEST(HexLower, TwoDigitsPerByteHighNibbleFirst) {
  const std::vector<std::uint8_t> bytes = {0x00, 0x0F, 0xA5, 0xFF, 0x10};
  EXPECT_EQ(hex_lower(bytes), "000fa5ff10");
  EXPECT_EQ(hex_lower({}), "");
}

}  // namespace
}  // namespace kestrune::discovery
