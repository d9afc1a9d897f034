#include "platform/interface_addresses.hpp"

#include <gtest/gtest.h>

namespace kestrune::platform {
namespace {

TEST(PrefixLength, CountsTheLeadingOneBitsOfTheNetmask) {
  struct Row {
    std::array<std::uint8_t, 4> netmask;
    std::uint8_t prefix;
  };
  const Row rows[] = {{{0, 0, 0, 0}, 0},          {{128, 0, 0, 0}, 1},
                      {{255, 0, 0, 0}, 8},        {{255, 255, 254, 0}, 23},
                      {{255, 255, 255, 0}, 24},   {{255, 255, 255, 252}, 30},
                      {{255, 255, 255, 255}, 32}, {{255, 0, 255, 0}, 8}};
  for (const Row& row : rows) {
    EXPECT_EQ(prefix_length_of_netmask(row.netmask), row.prefix)
        << int(row.netmask[0]) << "." << int(row.netmask[1]) << "." << int(row.netmask[2]) << "."
        << int(row.netmask[3]);
  }
}

}  // namespace
}  // namespace kestrune::platform
