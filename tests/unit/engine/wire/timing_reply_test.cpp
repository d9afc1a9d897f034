#include "engine/wire/timing_reply.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace kestrune::engine {
namespace {

std::vector<std::uint8_t> request_bytes(std::size_t size, std::uint8_t second_byte) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(0xA0 + i);
  if (size > 1) bytes[1] = second_byte;
  return bytes;
}

std::uint64_t get_time(const TimingReply& reply, std::size_t offset) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 8; ++i) value = (value << 8) | reply[offset + i];
  return value;
}

// Hands out the given readings in order.
struct ScriptedClock {
  std::vector<support::Result<std::uint64_t>> readings;
  std::size_t next = 0;
  support::Result<std::uint64_t> operator()() { return readings.at(next++); }
};

TEST(TimingReply, OnlyExactly32BytesWithPayloadType82AreRequests) {
  struct Case {
    std::size_t size;
    std::uint8_t second_byte;
    bool request;
  };
  const Case cases[] = {
      {32, 0x52, true},  {32, 0xD2, true},  {31, 0x52, false}, {33, 0x52, false},
      {32, 0x54, false}, {32, 0x53, false}, {0, 0x00, false},  {2048, 0x52, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_timing_request(request_bytes(c.size, c.second_byte)), c.request)
        << c.size << " " << int{c.second_byte};
  }
}

TEST(TimingReply, EchoesTheRequestAndCarriesBothTimes) {
  const auto request = request_bytes(32, 0xD2);
  ScriptedClock clock{{0x1111'2222'3333'4444u, 0x1111'2222'3333'5555u}};
  const auto reply = answer_timing_datagram(request, clock);
  ASSERT_TRUE(reply);
  const TimingReply expected = {
      0x80, 0xD3, 0xA2, 0xA3, 0x00, 0x00, 0x00, 0x00,  // request bytes 2-3, then zero
      0xB8, 0xB9, 0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF,  // request bytes 24-31
      0x11, 0x11, 0x22, 0x22, 0x33, 0x33, 0x44, 0x44,  // receive time
      0x11, 0x11, 0x22, 0x22, 0x33, 0x33, 0x55, 0x55,  // transmit time
  };
  EXPECT_EQ(*reply, expected);
}

TEST(TimingReply, ClockFailuresFallBackInsteadOfStoppingTheReply) {
  struct Case {
    const char* name;
    std::vector<support::Result<std::uint64_t>> readings;
    std::uint64_t receive, transmit;
  };
  const auto error = support::fail("system clock is before Unix epoch");
  const Case cases[] = {
      {"receive fails", {error, 9u}, 0, 9},
      {"transmit fails", {7u, error}, 7, 7},
      {"both fail", {error, error}, 0, 0},
  };
  for (const Case& c : cases) {
    ScriptedClock clock{c.readings};
    const auto reply = answer_timing_datagram(request_bytes(32, 0x52), clock);
    ASSERT_TRUE(reply) << c.name;
    EXPECT_EQ(get_time(*reply, 16), c.receive) << c.name;
    EXPECT_EQ(get_time(*reply, 24), c.transmit) << c.name;
  }
}

TEST(TimingReply, ANonRequestReadsNoClock) {
  ScriptedClock clock{{}};
  EXPECT_FALSE(answer_timing_datagram(request_bytes(32, 0x54), clock));
  EXPECT_EQ(clock.next, 0u);
}

}  // namespace
}  // namespace kestrune::engine
