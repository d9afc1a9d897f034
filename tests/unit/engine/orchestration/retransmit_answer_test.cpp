#include "engine/orchestration/retransmit_answer.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <vector>

#include "tests/support/audio_packets.hpp"

namespace kestrune::engine {
namespace {

class AnswerTest : public ::testing::Test {
 protected:
  // 65,400 to 65,535, then 0 to 299: 436 packets, none displaced yet.
  AnswerTest() {
    for (std::uint32_t s = 65'400; s < 65'536 + 300; ++s) store(static_cast<std::uint16_t>(s));
  }

  void store(std::uint16_t sequence_number) {
    history.store(sequence_number, packet_for(sequence_number));
  }

  static std::vector<std::uint8_t> packet_for(std::uint16_t sequence_number) {
    return {0x80,
            0x60,
            static_cast<std::uint8_t>(sequence_number >> 8),
            static_cast<std::uint8_t>(sequence_number),
            0xCA,
            0xFE};
  }

  static std::vector<std::uint8_t> reply_for(std::uint16_t sequence_number) {
    return kestrune::testing::retransmit_reply(sequence_number, packet_for(sequence_number));
  }

  // Answers and returns the replies sent; `refuse` makes every send fail.
  std::vector<std::vector<std::uint8_t>> answer(RetransmitRequest request, bool refuse = false) {
    std::vector<std::vector<std::uint8_t>> sent;
    answer_retransmit_request(request, history, stats, reply,
                              [&](std::span<const std::uint8_t> bytes) {
                                if (refuse) return false;
                                sent.emplace_back(bytes.begin(), bytes.end());
                                return true;
                              });
    return sent;
  }

  void expect_replies(RetransmitRequest request, const std::vector<std::uint16_t>& replied,
                      const char* name) {
    const std::uint64_t requested = stats.retransmitRequested.load();
    const std::uint64_t fulfilled = stats.retransmitFulfilled.load();
    std::vector<std::vector<std::uint8_t>> expected;
    for (const std::uint16_t s : replied) expected.push_back(reply_for(s));
    EXPECT_EQ(answer(request), expected) << name;
    EXPECT_EQ(stats.retransmitRequested.load(), requested + request.count) << name;
    EXPECT_EQ(stats.retransmitFulfilled.load(), fulfilled + replied.size()) << name;
  }

  PacketHistory history;
  StreamStats stats;
  std::vector<std::uint8_t> reply;
};

TEST_F(AnswerTest, RepliesWithTheStoredPacketsAndCountsTheRequest) {
  struct Case {
    const char* name;
    RetransmitRequest request;
    std::vector<std::uint16_t> replied;
  };
  const Case cases[] = {
      {"two in the history", {10, 2}, {10, 11}},
      {"across the sequence wrap", {65535, 2}, {65535, 0}},
      {"none asked", {100, 0}, {}},
      {"never stored", {300, 3}, {}},
      {"partly stored", {298, 4}, {298, 299}},
  };
  for (const Case& c : cases) expect_replies(c.request, c.replied, c.name);
}

TEST_F(AnswerTest, PacketsDisplacedBy512NewerOnesAreSkippedButCounted) {
  for (std::uint32_t s = 300; s < 300 + 512; ++s) store(static_cast<std::uint16_t>(s));
  expect_replies({65535, 2}, {}, "displaced");
  expect_replies({299, 2}, {300}, "one displaced, one newer");
}

TEST_F(AnswerTest, AFailedSendIsNotFulfilled) {
  EXPECT_TRUE(answer({10, 3}, /*refuse=*/true).empty());
  EXPECT_EQ(stats.retransmitRequested.load(), 3u);
  EXPECT_EQ(stats.retransmitFulfilled.load(), 0u);
}

}  // namespace
}  // namespace kestrune::engine
