#include "engine/rtp/packet_history.hpp"
#include "engine/rtp/packet_history_testing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "platform/thread_name.hpp"
#include "support/thread.hpp"

namespace kestrune::engine {
namespace {

std::vector<std::uint8_t> packet_for(std::uint32_t index) {
  return {static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(index >> 8),
          static_cast<std::uint8_t>(index >> 16), 0xEE};
}

TEST(PacketHistory, StartsWithEveryOneOf512SlotsEmpty) {
  auto history = new_packet_history();
  std::vector<std::uint8_t> out;
  for (std::uint32_t s = 0; s < 65536; s += 97) {
    EXPECT_FALSE(history->append_packet_to(static_cast<std::uint16_t>(s), out));
  }
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(history_slots_for_testing(*history).lock()->size(), 512u);
}

TEST(PacketHistory, ASlotIsReusedAfter512MorePackets) {
  auto history = new_packet_history();
  for (std::uint32_t s = 0; s < 512 + 10; ++s) {
    history->store(static_cast<std::uint16_t>(s), packet_for(s));
  }
  std::vector<std::uint8_t> out;
  // 0 to 9 were displaced by 512 to 521; 10 to 511 are still there.
  EXPECT_FALSE(history->append_packet_to(0, out));
  EXPECT_FALSE(history->append_packet_to(9, out));
  ASSERT_TRUE(history->append_packet_to(10, out));
  EXPECT_EQ(out, packet_for(10));
  out.clear();
  ASSERT_TRUE(history->append_packet_to(521, out));
  EXPECT_EQ(out, packet_for(521));
}

TEST(PacketHistory, LookupsMatchAcrossTheSequenceWrap) {
  auto history = new_packet_history();
  history->store(65535, packet_for(65535));
  history->store(0, packet_for(65536));
  std::vector<std::uint8_t> out = {0xAA};
  ASSERT_TRUE(history->append_packet_to(65535, out));
  ASSERT_TRUE(history->append_packet_to(0, out));
  // Appended after what `out` held already, in the order asked.
  const auto first = packet_for(65535), second = packet_for(65536);
  ASSERT_EQ(out.size(), 1 + first.size() + second.size());
  EXPECT_EQ(out[0], 0xAA);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), out.begin() + 1));
  EXPECT_TRUE(std::equal(second.begin(), second.end(), out.begin() + 1 + first.size()));
  // Slot 511 holds 65535, so 511 itself is not found.
  EXPECT_FALSE(history->append_packet_to(511, out));
}

TEST(PacketHistory, KeepsPacketsUpToAFullOneAndDropsWhatIsLonger) {
  struct Case {
    std::size_t bytes;
    bool kept;
  };
  for (const Case c : {Case{1, true}, Case{700, true}, Case{kHistorySlotBytes, true},
                       Case{kHistorySlotBytes + 1, false}}) {
    SCOPED_TRACE(c.bytes);
    auto history = new_packet_history();
    // Slot 7 first holds a short packet and its neighbours full ones, so a longer packet that
    // were kept anyway, or cut, or written across its slot's end, would show.
    history->store(6, std::vector<std::uint8_t>(kHistorySlotBytes, 0x66));
    history->store(7, packet_for(7));
    history->store(8, std::vector<std::uint8_t>(kHistorySlotBytes, 0x88));
    std::vector<std::uint8_t> packet(c.bytes);
    for (std::size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<std::uint8_t>(i * 7);
    history->store(519, packet);  // slot 7 again

    std::vector<std::uint8_t> out;
    EXPECT_FALSE(history->append_packet_to(7, out));
    EXPECT_EQ(history->append_packet_to(519, out), c.kept);
    EXPECT_EQ(out, c.kept ? packet : std::vector<std::uint8_t>{});
    for (const auto& [sequence, fill] : {std::pair{6, 0x66}, std::pair{8, 0x88}}) {
      out.clear();
      ASSERT_TRUE(history->append_packet_to(static_cast<std::uint16_t>(sequence), out));
      EXPECT_EQ(out, std::vector<std::uint8_t>(kHistorySlotBytes, static_cast<std::uint8_t>(fill)));
    }
  }
}

TEST(PacketHistory, APoisonedLockEndsTheWriterButNotTheReader) {
  auto history = new_packet_history();
  history->store(3, packet_for(3));
  try {
    auto guard = history_slots_for_testing(*history).lock();
    throw std::runtime_error("writer failed while holding the history");
  } catch (const std::runtime_error&) {
  }
  ASSERT_TRUE(history_slots_for_testing(*history).is_poisoned());

  auto writer = platform::spawn_named("history-writer", [&] { history->store(4, packet_for(4)); });
  ASSERT_TRUE(writer);
  const auto joined = writer->join();
  ASSERT_FALSE(joined);
  EXPECT_NE(joined.error().root_message().find("history lock poisoned"), std::string::npos);

  std::vector<std::uint8_t> out;
  EXPECT_TRUE(history->append_packet_to(3, out));
  EXPECT_FALSE(history->append_packet_to(4, out));
}

}  // namespace
}  // namespace kestrune::engine
