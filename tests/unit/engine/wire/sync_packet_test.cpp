#include "engine/wire/sync_packet.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

namespace kestrune::engine {
namespace {

TEST(SyncPacket, DueRule) {
  struct Case {
    bool first_pending;
    std::optional<std::uint32_t> last;
    std::uint32_t timestamp;
    bool due;
  };
  const Case cases[] = {
      {true, std::nullopt, 0, true},
      {true, 0u, 352, true},             // first sync still pending
      {false, std::nullopt, 352, true},  // no sync sent yet
      {false, 0u, 44'099, false},
      {false, 0u, 44'100, true},
      {false, 0u, 125 * 352, false},
      {false, 0u, 126 * 352, true},
      {false, 0xFFFF'FF00u, 0xFFFF'FF00u + 44'100u, true},  // wraps past 2^32
      {false, 0xFFFF'FF00u, 0x0000'0010u, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sync_due(c.first_pending, c.last, c.timestamp), c.due)
        << c.first_pending << " " << c.last.value_or(0) << " " << c.timestamp;
  }
}

TEST(SyncPacket, BytesOfTheFirstAndLaterSyncs) {
  const SyncPacket first = build_sync_packet(true, 0, 0x11223344, 0x0102030405060708);
  const SyncPacket expected_first = {0x90, 0xD4, 0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x01, 0x02,
                                     0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x11, 0x22, 0x33, 0x44};
  EXPECT_EQ(first, expected_first);
  const SyncPacket later = build_sync_packet(false, 0xABCD, 44'352, 0xF0E0D0C0B0A09080);
  const SyncPacket expected_later = {0x80, 0xD4, 0xAB, 0xCD, 0x00, 0x00, 0xAD, 0x40, 0xF0, 0xE0,
                                     0xD0, 0xC0, 0xB0, 0xA0, 0x90, 0x80, 0x00, 0x00, 0xAD, 0x40};
  EXPECT_EQ(later, expected_later);
}

}  // namespace
}  // namespace kestrune::engine
