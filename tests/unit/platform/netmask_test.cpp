#include "platform/netmask.hpp"

#include <gtest/gtest.h>

namespace kestrune::platform {
namespace {

TEST(PrefixLength, CountsTheLeadingOneBitsOfTheNetmask) {
  struct Row {
    IpAddress netmask;
    std::uint8_t prefix;
  };
  const Row rows[] = {{{0, 0, 0, 0}, 0},          {{128, 0, 0, 0}, 1},
                      {{255, 0, 0, 0}, 8},        {{255, 255, 254, 0}, 23},
                      {{255, 255, 255, 0}, 24},   {{255, 255, 255, 252}, 30},
                      {{255, 255, 255, 255}, 32}, {{255, 0, 255, 0}, 8}};
  for (const Row& row : rows) {
    EXPECT_EQ(prefix_length_of_netmask(row.netmask), row.prefix) << row.netmask.to_string();
  }
}

TEST(NetmaskOfPrefix, SetsThatManyLeadingBitsAndStopsAt32) {
  struct Row {
    std::uint8_t prefix;
    IpAddress netmask;
  };
  const Row rows[] = {{0, {0, 0, 0, 0}},          {1, {128, 0, 0, 0}},
                      {16, {255, 255, 0, 0}},     {23, {255, 255, 254, 0}},
                      {31, {255, 255, 255, 254}}, {32, {255, 255, 255, 255}},
                      {33, {255, 255, 255, 255}}, {255, {255, 255, 255, 255}}};
  for (const Row& row : rows) {
    SCOPED_TRACE(int(row.prefix));
    EXPECT_EQ(netmask_of_prefix(row.prefix), row.netmask);
    if (row.prefix <= 32) {
      EXPECT_EQ(prefix_length_of_netmask(row.netmask), row.prefix);
    }
  }
}

}  // namespace
}  // namespace kestrune::platform
